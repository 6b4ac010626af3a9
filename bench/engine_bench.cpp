// CPU cost of one slot's recording chain against ffmpeg doing the same work.
//
//   engine_bench ours   <inRate> <outRate> <seconds>
//   engine_bench ffmpeg <inRate> <outRate> <seconds>
//
// Prints the CPU seconds used (user + system, the sink process included).
#include "ExternalEncoder.h"
#include "Meters.h"
#include "Mixer.h"
#include "PushStream.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }
double Cpu(const rusage& ru) { return Seconds(ru.ru_utime) + Seconds(ru.ru_stime); }

// 100 ms of a stereo sine, sent over and over.
std::vector<float> Block(int rate) {
    const std::size_t frames = static_cast<std::size_t>(rate / 10);
    std::vector<float> block(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
        block[2 * i] = v;
        block[2 * i + 1] = -v;
    }
    return block;
}

double Ours(int inRate, int outRate, int seconds) {
    const auto block = Block(inRate);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    {
        TMixer mixer(outRate);
        auto input = std::make_shared<TPushStream>(inRate, 2);
        mixer.SetInput(input);
        auto meter = std::make_shared<TPeakMeter>();
        auto counter = std::make_shared<TByteCounter>();
        mixer.AddProcessor(meter, 0);
        mixer.AddProcessor(counter, 0);
        auto sink = std::make_shared<TExternalEncoder>("cat", TExternalEncoder::TChannels::Stereo);
        const auto handle = mixer.AddEncoder(sink);
        std::vector<float> pull(static_cast<std::size_t>(mixer.Seconds2Bytes(2.0) / sizeof(float)));
        for (int i = 0; i < seconds * 10; ++i) {
            input->Put(block.data(), block.size() * sizeof(float));
            mixer.GetData(pull.data(), pull.size() * sizeof(float));
        }
        mixer.Remove(handle);
        sink->Finish();
        if (sink->DroppedBytes() != 0 || std::fabs(mixer.Bytes2Seconds(counter->Bytes()) - seconds) > 0.1) {
            std::fprintf(stderr, "chain lost audio\n");
            std::exit(1);
        }
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return Cpu(after) - Cpu(before) + Cpu(children);
}

double Ffmpeg(int inRate, int outRate, int seconds) {
    const auto block = Block(inRate);
    const std::string command = "ffmpeg -v error -hide_banner -f f32le -ar " + std::to_string(inRate) +
                                " -ac 2 -i pipe: -ar " + std::to_string(outRate) + " -f s16le - | cat > /dev/null";
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    const auto bytes = block.size() * sizeof(float);
    for (int i = 0; i < seconds * 10; ++i) {
        const char* p = reinterpret_cast<const char*>(block.data());
        std::size_t done = 0;
        while (done < bytes) {
            const ssize_t n = write(fds[1], p + done, bytes - done);
            if (n <= 0) {
                return -1;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    close(fds[1]);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru); // the shell's figure includes ffmpeg and the sink it waited for
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Cpu(ru) : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ours|ffmpeg <inRate> <outRate> <seconds>\n", argv[0]);
        return 2;
    }
    const std::string which = argv[1];
    const int inRate = std::atoi(argv[2]);
    const int outRate = std::atoi(argv[3]);
    const int seconds = std::atoi(argv[4]);
    const double cpu = which == "ours" ? Ours(inRate, outRate, seconds) : Ffmpeg(inRate, outRate, seconds);
    if (cpu < 0) {
        return 1;
    }
    std::printf("%.3f\n", cpu);
    return 0;
}
