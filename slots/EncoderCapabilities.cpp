#include "EncoderCapabilities.h"

#include "ChildProcess.h"
#include "FFmpegLog.h"
#include "MediaProbe.h"
#include "WmaEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <sys/wait.h>
#include <unistd.h>

const std::vector<int> TEncoderCapabilities::CommonSamplerates{8000,  11025, 12000, 16000, 22050, 24000,
                                                               32000, 44100, 48000, 88200, 96000};
const std::vector<int> TEncoderCapabilities::CommonBitrates{8,  16,  24,  32,  40,  48,  56,  64,  80,
                                                            96, 112, 128, 144, 160, 192, 224, 256, 320};

namespace {

constexpr double ProbeSeconds = 0.5;


// A temporary file that is removed with this object.
class TProbeFile {
public:
    explicit TProbeFile(const char* extension) {
        std::string pattern = "/tmp/rudazodudad-probe-XXXXXX" + std::string(extension);
        const int fd = ::mkstemps(pattern.data(), static_cast<int>(std::string(extension).size()));
        if (fd >= 0) {
            ::close(fd);
            FPath = pattern;
        }
    }
    ~TProbeFile() {
        if (!FPath.empty()) {
            ::unlink(FPath.c_str());
        }
    }
    TProbeFile(const TProbeFile&) = delete;
    TProbeFile& operator=(const TProbeFile&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

using TAnswer = TEncoderCapabilities::TAnswer;

TAnswer ProbeExternal(TSlotFormat format, int samplerate, int channels, int bitrate) {
    TProbeFile out(format == TSlotFormat::ogg ? ".ogg" : ".mp3");
    if (out.Path().empty()) {
        return TAnswer::Unknown;
    }
    const std::string rate = std::to_string(samplerate);
    std::vector<std::string> argv;
    if (format == TSlotFormat::mp3) {
        argv = {"lame", "--flush", "-m", channels == 1 ? "m" : "s", "-r", "-s", rate, "--silent"};
    } else {
        argv = {"oggenc", "-Q", "-r", "-R", rate, "-C", std::to_string(channels)};
    }
    if (bitrate != 0) {
        argv.insert(argv.end(), {"-b", std::to_string(bitrate)});
    }
    if (format == TSlotFormat::mp3) {
        argv.insert(argv.end(), {"-", out.Path()});
    } else {
        argv.insert(argv.end(), {"-o", out.Path(), "-"});
    }
    // Reading back a half-second file makes FFmpeg guess and say so: not news.
    const TFFmpegLog::TScope quiet(std::make_shared<TFFmpegLog>([](const std::string&) {}, true));
    bool ended = false; // by itself, in time
    int status = 0;
    try {
        TChildProcess encoder(argv);
        const std::vector<char> silence(
            static_cast<std::size_t>(std::lround(samplerate * ProbeSeconds)) * static_cast<std::size_t>(channels) * 2);
        std::size_t written = 0;
        encoder.WriteInput(silence.data(), silence.size(), std::chrono::seconds(5), written);
        ended = encoder.Finish(std::chrono::seconds(2)) && encoder.Exited();
        status = encoder.WaitStatus();
    } catch (const std::exception&) {
        return TAnswer::Unknown; // not installed, or no process to be had now
    }
    if (ended && WIFSIGNALED(status)) {
        return TAnswer::Unknown; // a crash says nothing about the rate
    }
    if (ended && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        return TAnswer::Refused;
    }
    // lame takes any rate and silently writes another one, or another bit rate.
    // (The header's length: the Ogg demuxer's first packet lengths are not to be trusted.)
    // What it wrote decides: an encoder that lingers after its file is complete records all the same.
    const auto seconds = ProbeDuration(out.Path());
    const bool rightLength = seconds && std::abs(*seconds - ProbeSeconds) <= 0.2;
    // lame rounds a bit rate it does not have to one it has; a lower sample
    // rate for a low bit rate is its normal choice.
    if (rightLength && (bitrate == 0 || ProbeBitrate(out.Path()) == static_cast<long long>(bitrate) * 1000)) {
        return TAnswer::Accepted;
    }
    // Killed at the time limit (a loaded machine), its file unfinished: no answer.
    return ended ? TAnswer::Refused : TAnswer::Unknown;
}

} // namespace

std::vector<int> WmaEncoderRates(int samplerate, int channels, TSlotFormat format) {
    return TWmaEncoder::GetRates(samplerate, channels,
                                 format == TSlotFormat::wmapro ? TWmaEncoder::TKind::Pro : TWmaEncoder::TKind::Standard);
}

TEncoderCapabilities::TAnswer TEncoderCapabilities::ProbeEncoder(TSlotFormat format, int samplerate, int channels,
                                                                 int bitrate) {
    if (samplerate <= 0 || samplerate > 1'000'000 || (channels != 1 && channels != 2) || bitrate < 0) {
        return TAnswer::Refused;
    }
    if (format == TSlotFormat::wma || format == TSlotFormat::wmapro) {
        const auto rates = WmaEncoderRates(samplerate, channels, format);
        const bool accepted =
            bitrate == 0 ? !rates.empty() : std::find(rates.begin(), rates.end(), bitrate) != rates.end();
        return accepted ? TAnswer::Accepted : TAnswer::Refused;
    }
    return ProbeExternal(format, samplerate, channels, bitrate);
}

TEncoderCapabilities::TEncoderCapabilities(TProbe probe) : FProbe(std::move(probe)) {}

TEncoderCapabilities::TAnswer TEncoderCapabilities::Ask(TSlotFormat format, int samplerate, int channels,
                                                        int bitrate) {
    const TKey key{static_cast<int>(format), samplerate, channels, bitrate};
    {
        std::lock_guard guard(FLock);
        if (const auto it = FAnswers.find(key); it != FAnswers.end()) {
            return it->second ? TAnswer::Accepted : TAnswer::Refused;
        }
    }
    const TAnswer answer = FProbe(format, samplerate, channels, bitrate);
    if (answer != TAnswer::Unknown) {
        std::lock_guard guard(FLock);
        FAnswers.emplace(key, answer == TAnswer::Accepted);
    }
    return answer;
}

std::vector<int> TEncoderCapabilities::Filter(TSlotFormat format, const std::vector<std::tuple<int, int, int>>& tries) {
    // A few encoders side by side: a list is quick, and recording slots keep their CPU.
    constexpr std::size_t AtOnce = 4;
    std::vector<bool> answers(tries.size());
    for (std::size_t first = 0; first < tries.size(); first += AtOnce) {
        std::vector<std::future<bool>> running;
        for (std::size_t i = first; i < std::min(first + AtOnce, tries.size()); ++i) {
            const auto [rate, channels, bitrate] = tries[i];
            running.push_back(std::async(std::launch::async, [this, format, rate, channels, bitrate] {
                return Ask(format, rate, channels, bitrate) == TAnswer::Accepted;
            }));
        }
        for (std::size_t i = 0; i < running.size(); ++i) {
            answers[first + i] = running[i].get();
        }
    }
    std::vector<int> accepted;
    for (std::size_t i = 0; i < tries.size(); ++i) {
        if (answers[i]) {
            const auto& [rate, channels, bitrate] = tries[i];
            accepted.push_back(bitrate != 0 ? bitrate : rate);
        }
    }
    return accepted;
}

std::vector<int> TEncoderCapabilities::Samplerates(TSlotFormat format) {
    std::vector<std::tuple<int, int, int>> tries;
    for (int rate : CommonSamplerates) {
        tries.emplace_back(rate, 2, 0);
    }
    return Filter(format, tries);
}

std::vector<int> TEncoderCapabilities::Bitrates(TSlotFormat format, int samplerate, int channels) {
    if (format == TSlotFormat::wma || format == TSlotFormat::wmapro) {
        return WmaEncoderRates(samplerate, channels, format); // the library's own list
    }
    std::vector<std::tuple<int, int, int>> tries;
    for (int bitrate : CommonBitrates) {
        tries.emplace_back(samplerate, channels, bitrate);
    }
    return Filter(format, tries);
}
