#pragma once

#include "FFmpegPtr.h"

#include <cstddef>

// Converts interleaved float audio of one rate to another, same channel count.
// Not thread-safe: its owner serialises calls.
class TResampler {
public:
    TResampler(int inRate, int outRate, int channels);

    // Converts up to `inFrames` frames and writes at most `outCapacity` frames;
    // input beyond what fits is kept for the next call. Returns frames written.
    std::size_t Convert(const float* in, std::size_t inFrames, float* out, std::size_t outCapacity);

    // Input frames needed to produce `outFrames` more, ignoring what is held.
    std::size_t InputFor(std::size_t outFrames) const;

    int InRate() const { return FInRate; }
    int OutRate() const { return FOutRate; }

private:
    int FInRate;
    int FOutRate;
    int FChannels;
    FFmpeg::SwrPtr FSwr;
};
