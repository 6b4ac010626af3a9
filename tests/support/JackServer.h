#pragma once

#include "ChildProgram.h"

#include "TestSupport.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// A private JACK server for one test: jackd without realtime on the dummy
// driver, with `capturePorts` silent physical capture ports ("system:capture_N")
// and two playback ports, under a name no other test uses.
//
// While the object lives, this process's JACK_DEFAULT_SERVER names it and
// JACK_NO_START_SERVER is set, so libjack finds this server and never starts
// one; the destructor stops the server, removes what it left in /dev/shm and
// restores the environment. The server is a child of this process that the
// kernel kills should the test die first.
//
// The queries use libjack under a client name of this process: libjack names a
// client's socket after the client only, so jack_lsp or jack_wait in tests
// running side by side would take each other's sockets.
class TJackServer {
public:
    // Makes the name and the environment; starts the server when `start`.
    explicit TJackServer(int capturePorts = 4, int rate = 48000, bool start = true);
    ~TJackServer();

    TJackServer(const TJackServer&) = delete;
    TJackServer& operator=(const TJackServer&) = delete;

    // Starts the server (again, under the same name) and waits until it takes
    // clients; throws std::runtime_error when it does not.
    void Start();
    // Ends the server as a user would (SIGTERM): it tells its clients.
    void Stop();
    // Kills the server (SIGKILL): its clients only notice it is gone. Start
    // the name again before the end, or the destructor does.
    void Crash();
    bool Running() const { return FDaemon != nullptr; }

    // For the next Start.
    void SetRate(int rate) { FRate = rate; }

    const std::string& Name() const { return FName; }
    // Whether the server takes clients.
    bool Answers() const;
    // All ports, each with the ports connected to it (what `jack_lsp -c` shows).
    // Throws std::runtime_error when the server does not answer.
    std::map<std::string, std::vector<std::string>> Connections() const;
    // Whether a client of that name is on the server (it may have no ports).
    bool HasClient(const std::string& name) const;

    // A client name for the code under test that no test beside this one uses.
    static std::string ClientNameForTests();

private:
    void Release();
    void End(int signal);
    void RemoveLeftovers() const;
    std::string LogTail() const;

    TTempDir FLog; // jackd's output, shown when it fails to start

    std::string FName;
    int FCapturePorts;
    int FRate;
    std::unique_ptr<TChildProgram> FDaemon;
    bool FKilled = false; // the last server of this name died without unregistering
    std::vector<std::pair<std::string, std::optional<std::string>>> FSavedEnvironment;
};

} // namespace TestSupport
