#include "TestSupport.h"

#include <array>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <numbers>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

TPortBlocker::TPortBlocker() : FFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(FFd, 1) != 0 ||
        getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (FFd >= 0) {
            close(FFd);
        }
        throw std::runtime_error("no free port");
    }
    FPort = ntohs(address.sin_port);
}

TPortBlocker::~TPortBlocker() { close(FFd); }

int FreePort() { return TPortBlocker().Port(); }

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rudaz-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    FPath = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TCommandResult RunCommand(const std::string& command) {
    TCommandResult result{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        result.Output.append(buf.data(), n);
    }
    const int status = pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {
std::string ProbeField(const std::string& path, const std::string& entries) {
    auto r = RunCommand("ffprobe -v error -select_streams a:0 -show_entries " + entries +
                        " -of default=noprint_wrappers=1:nokey=1 '" + path + "'");
    std::string s = r.Output;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}
double ToDouble(const std::string& s) {
    try {
        return std::stod(s);
    } catch (...) {
        return -1;
    }
}
} // namespace

TProbe ProbeAudio(const std::string& path) {
    TProbe p;
    p.Duration = ToDouble(ProbeField(path, "format=duration"));
    if (p.Duration < 0) {
        p.Duration = ToDouble(ProbeField(path, "stream=duration"));
    }
    p.SampleRate = static_cast<int>(ToDouble(ProbeField(path, "stream=sample_rate")));
    p.Channels = static_cast<int>(ToDouble(ProbeField(path, "stream=channels")));
    p.Codec = ProbeField(path, "stream=codec_name");
    return p;
}

std::vector<float> DecodeToStereoFloat(const std::string& path, int rate) {
    // A mono file goes to both sides at full level (ffmpeg's own upmix lowers it by 3 dB).
    const std::string spread = ProbeAudio(path).Channels == 1 ? " -af 'pan=stereo|c0=c0|c1=c0'" : "";
    auto r = RunCommand("ffmpeg -v error -i '" + path + "'" + spread + " -f f32le -ac 2 -ar " +
                        std::to_string(rate) + " -");
    std::vector<float> samples(r.Output.size() / sizeof(float));
    std::memcpy(samples.data(), r.Output.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<float> StereoSine(int rate, double frequency, float amplitude, std::size_t frames,
                              std::size_t phaseFrame) {
    std::vector<float> out(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i + phaseFrame) / rate;
        const float v = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * t));
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
    return out;
}

double Goertzel(const std::vector<float>& stereo, int channel, int rate, double frequency, std::size_t firstFrame,
                std::size_t frames) {
    const std::size_t total = stereo.size() / 2;
    if (frames == 0 || firstFrame + frames > total) {
        frames = total > firstFrame ? total - firstFrame : 0;
    }
    if (frames == 0) {
        return 0;
    }
    const double w = 2 * std::numbers::pi * frequency / rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double s = stereo[2 * (firstFrame + i) + static_cast<std::size_t>(channel)] + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(frames);
}

std::size_t ZeroCrossings(const std::vector<float>& stereo, int channel, std::size_t firstFrame,
                          std::size_t frames) {
    const std::size_t total = stereo.size() / 2;
    if (frames == 0 || firstFrame + frames > total) {
        frames = total > firstFrame ? total - firstFrame : 0;
    }
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < frames; ++i) {
        const float a = stereo[2 * (firstFrame + i - 1) + static_cast<std::size_t>(channel)];
        const float b = stereo[2 * (firstFrame + i) + static_cast<std::size_t>(channel)];
        if ((a < 0) != (b < 0)) {
            ++crossings;
        }
    }
    return crossings;
}

std::string ToneFault(const std::vector<float>& stereo, int rate, double frequency, float amplitude) {
    const std::size_t frames = stereo.size() / 2;
    const std::size_t window = static_cast<std::size_t>(rate) / 200;
    const double largestStep = amplitude * 2 * std::numbers::pi * frequency / rate;
    for (std::size_t first = static_cast<std::size_t>(rate) / 10; first + window + rate / 10 < frames; first += window) {
        const double level = Goertzel(stereo, 0, rate, frequency, first, window);
        double step = 0;
        for (std::size_t i = first; i < first + window; ++i) {
            step = std::max<double>(step, std::abs(stereo[2 * (i + 1)] - stereo[2 * i]));
        }
        if (std::abs(level - amplitude) > 0.16 * amplitude || step > largestStep * 1.3) {
            return "a dip or a click at " + std::to_string(static_cast<double>(first) / rate) + " s: level " +
                   std::to_string(level) + ", step " + std::to_string(step);
        }
    }
    return "";
}

} // namespace TestSupport
