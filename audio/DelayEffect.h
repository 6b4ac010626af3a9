#pragma once

#include "BlockProcessor.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// A pure delay (no dry signal, no feedback): the output is the input exactly
// `seconds` later; the first `seconds` are silence. The silence is counted, not
// stored, so memory follows the audio actually held.
class TDelayEffect : public TBlockProcessor {
public:
    TDelayEffect(int rate, int seconds);

    void Process(float* samples, std::size_t bytes) override;

    std::size_t HeldFrames() const { return FCount; }

private:
    void Push(const float* frames, std::size_t n);
    void Pop(float* frames, std::size_t n);
    void Grow(std::size_t minFrames);

    std::uint64_t FSilenceFrames;
    std::vector<float> FRing; // stereo frames, capacity FRing.size() / 2
    std::size_t FHead = 0;    // first held frame
    std::size_t FCount = 0;   // frames held
};
