#pragma once

#include "BlockProcessor.h"

#include <atomic>
#include <chrono>
#include <cstdint>

// Peak magnitude per channel of the last block (1.0 = full scale), and how
// long the peaks of both channels have stayed below a silence level: written
// on the pulling thread and read from any thread. The silence costs nothing
// beyond the peaks it is measured from.
class TPeakMeter : public TBlockProcessor {
public:
    void Process(float* samples, std::size_t bytes) override;
    void Reset();

    float Left() const { return FLeft.load(std::memory_order_relaxed); }
    float Right() const { return FRight.load(std::memory_order_relaxed); }
    // How long ago the last block came; very long before the first.
    std::chrono::steady_clock::duration Since() const;

    void SetSilenceLevel(float linear) { FSilenceLevel.store(linear, std::memory_order_relaxed); }
    // Frames since the last block with a peak at or above the silence level.
    std::uint64_t SilentFrames() const { return FSilentFrames.load(std::memory_order_relaxed); }

private:
    std::atomic<float> FLeft{0};
    std::atomic<float> FRight{0};
    std::atomic<float> FSilenceLevel{0};
    static constexpr std::chrono::steady_clock::rep NoBlock = std::chrono::steady_clock::duration::min().count();
    std::atomic<std::chrono::steady_clock::rep> FBlockAt{NoBlock}; // steady_clock ticks of the last block
    std::atomic<std::uint64_t> FSilentFrames{0};
};

// Bytes delivered so far, one atomic 64-bit value so no reader sees half an update.
class TByteCounter : public TBlockProcessor {
public:
    void Process(float*, std::size_t bytes) override { FBytes.fetch_add(bytes, std::memory_order_relaxed); }

    std::uint64_t Bytes() const { return FBytes.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> FBytes{0};
};
