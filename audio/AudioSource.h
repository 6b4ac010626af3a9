#pragma once

#include <cstddef>

// Something a mixer can take audio from: interleaved float frames of 1 or 2
// channels at a fixed rate.
class TAudioSource {
public:
    virtual ~TAudioSource() = default;

    virtual int Rate() const = 0;
    virtual int Channels() const = 0;

    // Copies up to `frames` frames that are available now into `dst` and
    // returns how many it copied. Never waits for audio to arrive. Called by
    // one consumer thread at a time (the mixer's puller).
    virtual std::size_t Read(float* dst, std::size_t frames) = 0;
};
