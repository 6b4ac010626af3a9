#pragma once

#include "BlockProcessor.h"

#include <chrono>
#include <cstdint>
#include <string>

// An encoder that writes one recording file from the blocks a mixer hands it.
class TFileEncoder : public TBlockProcessor {
public:
    // Completes the file. Detach the encoder from its mixer first. Idempotent.
    virtual void Finish() = 0;
    // Finish, giving up at `deadline` at the latest (one shared by all slots
    // at shutdown). What works in-process finishes at once.
    virtual void FinishBy(std::chrono::steady_clock::time_point) { Finish(); }
    // Finish gave up: the encoder was ended before it had finished its file.
    virtual bool Killed() const { return false; }
    // Called on a new encoder before its first block, while `previous` (of the
    // same slot) has had its last: a codec that needs audio from before its
    // first sample takes it from there, so that the files join without a gap.
    virtual void ContinueFrom(TFileEncoder& /*previous*/) {}
    // The encoder stopped writing before Finish (its program ended, its pipe
    // broke, its file could not be written).
    virtual bool Died() const = 0;
    // Why it died, for the slot's error text.
    virtual std::string DeathReason() const = 0;
    // Mixer bytes that did not reach the file.
    virtual std::uint64_t DroppedBytes() const = 0;
};
