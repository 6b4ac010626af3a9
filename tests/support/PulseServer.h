#pragma once

#include "ChildProgram.h"
#include "TestSupport.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// A private PulseAudio daemon for one test: a null sink (whose monitor is
// "null.monitor") and a 440 Hz sine source "sine" at half scale, in a fresh
// runtime folder that is also its HOME.
//
// While the object lives, this process's XDG_RUNTIME_DIR and HOME point at that
// folder (PULSE_SERVER, PULSE_RUNTIME_PATH and DISPLAY are unset), so libpulse
// finds this daemon and no other; the destructor stops the daemon, restores the
// environment and removes the folder. The daemon is a child of this process
// that the kernel kills should the test die first, so nothing outlives a test.
class TPulseServer {
public:
    // Prepares the folder and the environment; starts the daemon when `start`.
    explicit TPulseServer(bool start = true);
    ~TPulseServer();

    TPulseServer(const TPulseServer&) = delete;
    TPulseServer& operator=(const TPulseServer&) = delete;

    // Starts the daemon (again, in the same folder) and waits until it lists
    // its sources; throws std::runtime_error when it does not.
    void Start();
    // Terminates the daemon as `pulseaudio --kill` does and waits until it is gone.
    void Stop();
    bool Running() const { return FDaemon != nullptr; }

    // Runs pactl against this daemon; standard output only.
    TCommandResult Pactl(const std::string& args) const;
    // The description of a source as `pactl list sources` shows it, "" if absent.
    std::string SourceDescription(const std::string& name) const;
    // Lines of `pactl list short source-outputs`.
    std::vector<std::string> SourceOutputs() const;

    const std::filesystem::path& RuntimeDir() const { return FDir.Path(); }

private:
    TTempDir FDir;
    std::vector<std::pair<std::string, std::optional<std::string>>> FSavedEnvironment;
    std::unique_ptr<TChildProgram> FDaemon;
};

} // namespace TestSupport
