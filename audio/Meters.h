#pragma once

#include "BlockProcessor.h"

#include <atomic>
#include <cstdint>

// Peak magnitude per channel of the last block (1.0 = full scale), written on
// the pulling thread and read from any thread.
class TPeakMeter : public TBlockProcessor {
public:
    void Process(float* samples, std::size_t bytes) override;
    void Reset();

    float Left() const { return FLeft.load(std::memory_order_relaxed); }
    float Right() const { return FRight.load(std::memory_order_relaxed); }

private:
    std::atomic<float> FLeft{0};
    std::atomic<float> FRight{0};
};

// Bytes delivered so far, one atomic 64-bit value so no reader sees half an update.
class TByteCounter : public TBlockProcessor {
public:
    void Process(float*, std::size_t bytes) override { FBytes.fetch_add(bytes, std::memory_order_relaxed); }

    std::uint64_t Bytes() const { return FBytes.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> FBytes{0};
};
