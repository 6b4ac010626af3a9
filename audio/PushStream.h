#pragma once

#include "AudioSource.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// A bounded FIFO of audio that producers put into from any thread (capture
// callbacks, tests) and one mixer reads in order. Audio that would overflow
// the bound is dropped and counted; memory never grows after construction.
//
// Threads: Put may be called from any number of threads; they are serialised by
// FPutLock, which is held only for the copy. Read belongs to one consumer and
// never takes FPutLock, so a producer never waits for the mixer and vice versa.
class TPushStream : public TAudioSource {
public:
    static constexpr double MinimumSeconds = 10.0;

    // capacitySeconds below MinimumSeconds is raised to it.
    TPushStream(int rate, int channels, double capacitySeconds = 20.0);

    TPushStream(const TPushStream&) = delete;
    TPushStream& operator=(const TPushStream&) = delete;

    int Rate() const override { return FRate; }
    int Channels() const override { return FChannels; }
    std::size_t Read(float* dst, std::size_t frames) override;

    // Appends interleaved float samples; a trailing partial frame is ignored.
    // Returns the bytes accepted.
    std::size_t Put(const void* data, std::size_t bytes);

    std::uint64_t DroppedBytes() const { return FDroppedBytes.load(std::memory_order_relaxed); }
    std::size_t QueuedFrames() const;
    std::size_t CapacityFrames() const { return FCapacityFrames; }

private:
    void CopyIn(const float* src, std::size_t frames, std::uint64_t at);

    const int FRate;
    const int FChannels;
    const std::size_t FCapacityFrames;
    std::vector<float> FRing;
    std::mutex FPutLock;
    // Frame counters since creation; the ring position is the counter modulo capacity.
    std::atomic<std::uint64_t> FWritten{0};
    std::atomic<std::uint64_t> FRead{0};
    std::atomic<std::uint64_t> FDroppedBytes{0};
};
