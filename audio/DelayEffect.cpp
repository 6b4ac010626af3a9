#include "DelayEffect.h"

#include "AudioFormat.h"

#include <algorithm>
#include <cstring>

TDelayEffect::TDelayEffect(int rate, int seconds)
    : FSilenceFrames(static_cast<std::uint64_t>(std::max(rate, 0)) * static_cast<std::uint64_t>(std::max(seconds, 0))) {}

void TDelayEffect::Grow(std::size_t minFrames) {
    const std::size_t capacity = FRing.size() / 2;
    if (capacity >= minFrames) {
        return;
    }
    std::size_t next = std::max<std::size_t>(capacity * 2, 4096);
    while (next < minFrames) {
        next *= 2;
    }
    std::vector<float> ring(next * 2);
    Pop(ring.data(), FCount); // keeps FCount; laid out from the start
    const std::size_t count = FCount;
    FRing.swap(ring);
    FHead = 0;
    FCount = count;
}

void TDelayEffect::Push(const float* frames, std::size_t n) {
    Grow(FCount + n);
    const std::size_t capacity = FRing.size() / 2;
    const std::size_t tail = (FHead + FCount) % capacity;
    const std::size_t first = std::min(n, capacity - tail);
    std::memcpy(&FRing[tail * 2], frames, first * AudioFormat::BytesPerFrame);
    std::memcpy(&FRing[0], frames + first * 2, (n - first) * AudioFormat::BytesPerFrame);
    FCount += n;
}

// Copies the oldest n frames out without consuming them; Process consumes.
void TDelayEffect::Pop(float* frames, std::size_t n) {
    if (n == 0) {
        return;
    }
    const std::size_t capacity = FRing.size() / 2;
    const std::size_t first = std::min(n, capacity - FHead);
    std::memcpy(frames, &FRing[FHead * 2], first * AudioFormat::BytesPerFrame);
    std::memcpy(frames + first * 2, &FRing[0], (n - first) * AudioFormat::BytesPerFrame);
}

void TDelayEffect::Process(float* samples, std::size_t bytes) {
    const std::size_t n = bytes / AudioFormat::BytesPerFrame;
    if (n == 0) {
        return;
    }
    if (FSilenceFrames == 0 && FCount == 0) {
        return; // a delay of 0: pass through
    }
    Push(samples, n);
    const std::size_t silent = static_cast<std::size_t>(std::min<std::uint64_t>(FSilenceFrames, n));
    std::memset(samples, 0, silent * AudioFormat::BytesPerFrame);
    FSilenceFrames -= silent;
    const std::size_t rest = n - silent;
    Pop(samples + silent * 2, rest);
    const std::size_t capacity = FRing.size() / 2;
    FHead = (FHead + rest) % capacity;
    FCount -= rest;
}
