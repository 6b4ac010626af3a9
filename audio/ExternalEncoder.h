#pragma once

#include "ChildProcess.h"
#include "FileEncoder.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Feeds an external encoder program (lame, oggenc) with every block it is given
// as raw 16-bit signed little-endian PCM on its standard input, no header.
// Attach it to a mixer with TMixer::AddEncoder; Process then runs on the pulling
// thread. A program that dies or stops reading never blocks the puller for more
// than WriteTimeout a block and never kills the logger: the encoder notes that
// it died, with the exit status and the program's last line of standard error.
class TExternalEncoder : public TFileEncoder {
public:
    enum class TChannels { Stereo, MonoDownmix };

    static constexpr auto WriteTimeout = std::chrono::seconds(2);
    static constexpr auto FinishTimeout = std::chrono::seconds(10);

    // Starts the program; throws TAudioError(BassError::FileOpen) when it cannot.
    TExternalEncoder(const std::string& commandLine, TChannels channels);
    ~TExternalEncoder() override;

    void Process(float* samples, std::size_t bytes) override;

    // Ends the program's input and waits up to FinishTimeout for it to finish
    // its file, then kills it.
    void Finish() override { FinishWithin(FinishTimeout); }
    void FinishWithin(std::chrono::milliseconds timeout);
    void FinishBy(std::chrono::steady_clock::time_point deadline) override;
    bool Killed() const override { return FKilled.load(); }

    // The program ended (or stopped reading) before Finish was asked for.
    bool Died() const override;
    // "exit status %d" and the program's last line of standard error.
    std::string DeathReason() const override;
    // Exit code of the program once it has ended; 128 + signal when it was killed.
    int ExitStatus() const;
    std::string LastErrorLine() const { return FProcess.LastErrorLine(); }
    std::uint64_t DroppedBytes() const override { return FDroppedBytes.load(std::memory_order_relaxed); }

private:
    TChildProcess FProcess;
    const TChannels FChannels;
    std::vector<std::int16_t> FPcm;            // pulling thread only
    std::atomic<bool> FPipeClosed{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FDiedEarly{false};
    std::atomic<bool> FKilled{false};
    std::atomic<std::uint64_t> FDroppedBytes{0};
};
