#include "PushStream.h"

#include "basserrors.h"

#include <algorithm>
#include <cmath>
#include <cstring>

TPushStream::TPushStream(int rate, int channels, double capacitySeconds)
    : FRate(rate), FChannels(channels),
      FCapacityFrames(static_cast<std::size_t>(std::ceil(std::max(capacitySeconds, MinimumSeconds) *
                                                         std::max(rate, 1)))) {
    if (rate <= 0) {
        throw TAudioError(BassError::Freq);
    }
    if (channels != 1 && channels != 2) {
        throw TAudioError(BassError::Format);
    }
    FRing.resize(FCapacityFrames * static_cast<std::size_t>(FChannels));
}

std::size_t TPushStream::QueuedFrames() const {
    return static_cast<std::size_t>(FWritten.load(std::memory_order_acquire) -
                                    FRead.load(std::memory_order_acquire));
}

void TPushStream::CopyIn(const float* src, std::size_t frames, std::uint64_t at) {
    const std::size_t pos = static_cast<std::size_t>(at % FCapacityFrames);
    const std::size_t first = std::min(frames, FCapacityFrames - pos);
    const std::size_t ch = static_cast<std::size_t>(FChannels);
    std::memcpy(&FRing[pos * ch], src, first * ch * sizeof(float));
    if (frames > first) {
        std::memcpy(&FRing[0], src + first * ch, (frames - first) * ch * sizeof(float));
    }
}

std::size_t TPushStream::Put(const void* data, std::size_t bytes) {
    const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(FChannels);
    const std::size_t frames = bytes / frameBytes;
    if (frames == 0 || data == nullptr) {
        return 0;
    }
    std::lock_guard guard(FPutLock);
    const std::uint64_t written = FWritten.load(std::memory_order_relaxed);
    const std::size_t used = static_cast<std::size_t>(written - FRead.load(std::memory_order_acquire));
    const std::size_t accepted = std::min(frames, FCapacityFrames - used);
    if (accepted > 0) {
        CopyIn(static_cast<const float*>(data), accepted, written);
        FWritten.store(written + accepted, std::memory_order_release);
    }
    if (accepted < frames) {
        FDroppedBytes.fetch_add((frames - accepted) * frameBytes, std::memory_order_relaxed);
    }
    return accepted * frameBytes;
}

std::size_t TPushStream::Read(float* dst, std::size_t frames) {
    const std::uint64_t read = FRead.load(std::memory_order_relaxed);
    const std::size_t available = static_cast<std::size_t>(FWritten.load(std::memory_order_acquire) - read);
    const std::size_t n = std::min(frames, available);
    if (n == 0) {
        return 0;
    }
    const std::size_t ch = static_cast<std::size_t>(FChannels);
    const std::size_t pos = static_cast<std::size_t>(read % FCapacityFrames);
    const std::size_t first = std::min(n, FCapacityFrames - pos);
    std::memcpy(dst, &FRing[pos * ch], first * ch * sizeof(float));
    if (n > first) {
        std::memcpy(dst + first * ch, &FRing[0], (n - first) * ch * sizeof(float));
    }
    FRead.store(read + n, std::memory_order_release);
    return n;
}
