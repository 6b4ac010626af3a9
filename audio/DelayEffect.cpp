#include "DelayEffect.h"

#include "SampleConvert.h"
#include "basserrors.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

TDelayEffect::TDelayEffect(int rate, int seconds)
    : FSilenceFrames(static_cast<std::uint64_t>(std::max(rate, 0)) * static_cast<std::uint64_t>(std::max(seconds, 0))) {}

std::size_t TDelayEffect::AllocatedBytes() const {
    return (FBlocks.size() + (FSpare ? 1 : 0)) * BlockFrames * BytesPerFrame;
}

void TDelayEffect::Push(const float* frames, std::size_t n) {
    const std::size_t tail = FHead + FCount; // position of the next frame, counted from the front block
    const std::size_t capacity = FBlocks.size() * BlockFrames;
    const std::size_t needed =
        tail + n > capacity ? (tail + n - capacity + BlockFrames - 1) / BlockFrames : 0;
    // Every block is had before anything changes, so a refusal loses only this block.
    std::vector<TBlock> fresh;
    try {
        fresh.reserve(needed);
        for (std::size_t i = 0; i < needed; ++i) {
            fresh.push_back(FSpare ? std::move(FSpare) : TBlock(new std::int16_t[BlockFrames * 2]));
        }
        for (auto& block : fresh) {
            FBlocks.push_back(std::move(block));
        }
    } catch (const std::bad_alloc&) {
        for (std::size_t i = 0; i < fresh.size() && FBlocks.size() * BlockFrames > capacity; ++i) {
            FBlocks.pop_back(); // the deque may have taken some before it failed
        }
        throw TAudioError("Delay", BassError::Mem);
    }
    std::size_t at = tail;
    std::size_t done = 0;
    while (done < n) {
        const std::size_t offset = at % BlockFrames;
        const std::size_t count = std::min(n - done, BlockFrames - offset);
        SampleConvert::FloatToS16(frames + done * 2, FBlocks[at / BlockFrames].get() + offset * 2, count * 2);
        done += count;
        at += count;
    }
    FCount += n;
}

void TDelayEffect::Pop(float* frames, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const std::size_t count = std::min(n - done, BlockFrames - FHead);
        SampleConvert::S16ToFloat(FBlocks.front().get() + FHead * 2, frames + done * 2, count * 2);
        done += count;
        FHead += count;
        FCount -= count;
        if (FHead == BlockFrames) {
            // A block read to its end goes back; one is kept for the next push.
            FSpare = std::move(FBlocks.front());
            FBlocks.pop_front();
            FHead = 0;
        }
    }
}

void TDelayEffect::Process(float* samples, std::size_t bytes) {
    const std::size_t n = bytes / (2 * sizeof(float));
    if (n == 0) {
        return;
    }
    if (FSilenceFrames == 0 && FCount == 0) {
        return; // a delay of 0: pass through
    }
    Push(samples, n);
    const std::size_t silent = static_cast<std::size_t>(std::min<std::uint64_t>(FSilenceFrames, n));
    std::memset(samples, 0, silent * 2 * sizeof(float));
    FSilenceFrames -= silent;
    Pop(samples + silent * 2, n - silent);
}
