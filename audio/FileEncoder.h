#pragma once

#include "BlockProcessor.h"

#include <cstdint>
#include <string>

// An encoder that writes one recording file from the blocks a mixer hands it.
class TFileEncoder : public TBlockProcessor {
public:
    // Completes the file. Detach the encoder from its mixer first. Idempotent.
    virtual void Finish() = 0;
    // The encoder stopped writing before Finish (its program ended, its pipe
    // broke, its file could not be written).
    virtual bool Died() const = 0;
    // Why it died, for the slot's error text.
    virtual std::string DeathReason() const = 0;
    // Mixer bytes that did not reach the file.
    virtual std::uint64_t DroppedBytes() const = 0;
};
