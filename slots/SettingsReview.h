#pragma once

#include "EncoderCapabilities.h"
#include "SlotSettingsRules.h"

#include <string>
#include <vector>

// Why the recording settings would make a wrong recording: a sample rate the
// format's encoder does not record at, or a bit rate it does not encode at
// exactly at `samplerate` (the rate in force) and at the rate asked for.
// "" when they are right, or when there are no `encoders` to ask, or the
// format's encoder records at no rate at all (its own start then says why).
std::string CheckRecording(const TSlotSettings& values, int samplerate, TEncoderCapabilities* encoders);

// What the start-up check of one slot's section found. Each note is logged
// once; a refusal keeps the slot from recording.
struct TSettingsReview {
    std::vector<std::string> Notes;
    std::string Refusal;      // the first recording setting that is wrong; "" when none
    bool RateRefused = false; // the sample rate itself: no mixer may run at it
};

// Checks `values` as read from section Slot<index> of `file`, on top of the
// reading rules: a format or mode word that the rules do not read as itself
// (its text is kept in KeptTexts, so that writing the section back keeps it),
// and a rate or bit rate the encoder clearly does not take, refuse the slot; a
// number that cannot be read keeps the default the rules gave, with a note
// naming key, text and the value used; level, delay and the silence alarm's
// numbers are brought into their limits; a cleanup number outside 1 to 32767
// turns its rule off (and its number to the end that deletes least).
TSettingsReview ReviewSlotSettings(TSlotSettings& values, const TSettingsFile& file, int index,
                                   TEncoderCapabilities* encoders);
