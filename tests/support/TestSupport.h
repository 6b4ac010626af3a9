#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

// A fresh folder below the system's temporary folder, removed with its contents.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

struct TCommandResult {
    int ExitCode;
    std::string Output; // standard output only
};
// A TCP socket listening on a free port of every IPv4 address, which keeps
// the port taken while it lives.
class TPortBlocker {
public:
    TPortBlocker();
    ~TPortBlocker();
    TPortBlocker(const TPortBlocker&) = delete;
    TPortBlocker& operator=(const TPortBlocker&) = delete;

    int Port() const { return FPort; }

private:
    int FFd;
    int FPort = 0;
};

// A port that nobody listened on a moment ago.
int FreePort();

// Polls `done` every 20 ms until it holds (true) or `seconds` have passed (false).
bool WaitUntil(const std::function<bool()>& done, double seconds);

// Runs a shell command line and captures its standard output.
TCommandResult RunCommand(const std::string& command);

// What ffprobe reports about the first audio stream of a file.
struct TProbe {
    double Duration = -1; // seconds, from the container or the stream
    int SampleRate = 0;
    int Channels = 0;
    std::string Codec;
};
TProbe ProbeAudio(const std::string& path);

// Decodes a file to interleaved float stereo at its own rate.
std::vector<float> DecodeToStereoFloat(const std::string& path, int rate);

// Interleaved stereo sine frames: amplitude a, frequency f, starting at `phaseFrame`.
std::vector<float> StereoSine(int rate, double frequency, float amplitude, std::size_t frames,
                              std::size_t phaseFrame = 0);

// Magnitude of frequency f in one channel of interleaved stereo samples,
// normalised so that a full sine of amplitude a reads a.
double Goertzel(const std::vector<float>& stereo, int channel, int rate, double frequency,
                std::size_t firstFrame = 0, std::size_t frames = 0);

// "" when the left channel holds the tone throughout at its level and without
// a step larger than the tone itself makes (in 5 ms windows, the first and last
// 100 ms left out); else where it dips or clicks.
std::string ToneFault(const std::vector<float>& stereo, int rate, double frequency, float amplitude);

// Sign changes of one channel, from which a frequency can be read.
std::size_t ZeroCrossings(const std::vector<float>& stereo, int channel, std::size_t firstFrame = 0,
                          std::size_t frames = 0);

} // namespace TestSupport
