#pragma once

#include "BlockProcessor.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

// A pure delay (no dry signal, no feedback): the output is the input exactly
// `seconds` later; the first `seconds` are silence. The silence is counted, not
// stored, and the audio held waits as 16-bit samples (what the encoders are fed
// anyway) in fixed blocks taken as it arrives and given back as it leaves: an
// hour at 48 kHz holds about 660 MiB, never more, and nothing is ever copied
// to grow. Process throws TAudioError (memory error) when a block cannot be
// had; the audio held so far stays intact.
class TDelayEffect : public TBlockProcessor {
public:
    static constexpr std::size_t BlockFrames = 16384;
    static constexpr std::size_t BytesPerFrame = 2 * sizeof(std::int16_t);

    TDelayEffect(int rate, int seconds);

    void Process(float* samples, std::size_t bytes) override;

    std::size_t HeldFrames() const { return FCount; }
    // Memory taken by the held audio, spare block included.
    std::size_t AllocatedBytes() const;

private:
    using TBlock = std::unique_ptr<std::int16_t[]>;

    void Push(const float* frames, std::size_t n);
    void Pop(float* frames, std::size_t n);

    std::uint64_t FSilenceFrames;
    std::deque<TBlock> FBlocks; // held audio, oldest first
    TBlock FSpare;              // the last block given back, kept for the next one needed
    std::size_t FHead = 0;      // first held frame within FBlocks.front()
    std::size_t FCount = 0;     // frames held
};
