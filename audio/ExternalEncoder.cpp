#include "ExternalEncoder.h"

#include "AudioFormat.h"
#include "SampleConvert.h"
#include "basserrors.h"

#include <algorithm>
#include <sys/wait.h>
#include <system_error>

namespace {
TChildProcess StartProgram(const std::string& commandLine) {
    try {
        return TChildProcess(SplitCommandLine(commandLine));
    } catch (const std::system_error&) {
        throw TAudioError(BassError::FileOpen);
    }
}
} // namespace

TExternalEncoder::TExternalEncoder(const std::string& commandLine, TChannels channels)
    : FProcess(StartProgram(commandLine)), FChannels(channels) {}

TExternalEncoder::~TExternalEncoder() { Finish(); }

void TExternalEncoder::Process(float* samples, std::size_t bytes) {
    if (FPipeClosed.load(std::memory_order_relaxed) || FFinished.load(std::memory_order_relaxed)) {
        FDroppedBytes.fetch_add(bytes, std::memory_order_relaxed);
        return;
    }
    const std::size_t frames = bytes / AudioFormat::BytesPerFrame;
    const std::size_t samplesOut = FChannels == TChannels::Stereo ? frames * 2 : frames;
    if (FPcm.size() < samplesOut) {
        FPcm.resize(samplesOut); // grows to the largest block once
    }
    if (FChannels == TChannels::Stereo) {
        SampleConvert::FloatToS16(samples, FPcm.data(), samplesOut);
    } else {
        SampleConvert::StereoFloatToMonoS16(samples, FPcm.data(), frames);
    }
    const std::size_t pcmBytes = samplesOut * sizeof(std::int16_t);
    std::size_t written = 0;
    const auto result = FProcess.WriteInput(FPcm.data(), pcmBytes, WriteTimeout, written);
    if (result == TChildProcess::TWriteResult::Closed) {
        FPipeClosed.store(true, std::memory_order_relaxed);
    }
    if (written < pcmBytes) {
        // Count in the mixer's bytes so that it compares with durations.
        const std::size_t lostFrames = (pcmBytes - written) / (pcmBytes / frames);
        FDroppedBytes.fetch_add(lostFrames * AudioFormat::BytesPerFrame, std::memory_order_relaxed);
    }
}

void TExternalEncoder::FinishWithin(std::chrono::milliseconds timeout) {
    if (FFinished.exchange(true)) {
        return;
    }
    FDiedEarly.store(FPipeClosed.load() || FProcess.Exited());
    FKilled.store(!FProcess.Finish(timeout));
}

void TExternalEncoder::FinishBy(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    FinishWithin(std::max(left, std::chrono::milliseconds(0)));
}

bool TExternalEncoder::Died() const {
    if (FFinished.load()) {
        return FDiedEarly.load();
    }
    return FPipeClosed.load() || FProcess.Exited();
}

int TExternalEncoder::ExitStatus() const {
    const int status = FProcess.WaitStatus();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::string TExternalEncoder::DeathReason() const {
    std::string reason = FProcess.Exited() ? "exit status " + std::to_string(ExitStatus()) : "the encoder stopped reading";
    const std::string line = LastErrorLine();
    if (!line.empty()) {
        reason += ": " + line;
    }
    return reason;
}
