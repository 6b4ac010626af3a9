#pragma once

#include <cstddef>

// One stage of a mixer's processing chain: an effect, a measuring callback or an
// encoder. Process runs on the thread that pulls the mixer, for every block the
// mixer delivers, with the mixer's lock held: it must not wait for anything that
// a thread calling into the same mixer may hold.
class TBlockProcessor {
public:
    virtual ~TBlockProcessor() = default;

    // `samples` holds bytes / 8 interleaved stereo float frames; a processor may
    // change them in place (effects) or only read them.
    virtual void Process(float* samples, std::size_t bytes) = 0;
};
