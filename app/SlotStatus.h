#pragma once

#include <cstdint>
#include <optional>
#include <string>

class TSlotInfo;

// What a slot's row in the slot list says about it: the lines below its name
// and the status image. The window decides fonts and colours from the kinds.
struct TSlotStatus {
    enum class TImage { Ok, Disabled, Error };

    std::string Line2;
    bool Line2Error = false; // red: what keeps the slot from recording
    bool Line2Alarm = false; // red: the alarms of a slot that records
    std::string Line3;
    bool Line3IsFile = false; // the path of the open file, in small type
    bool Line3Error = false;  // red
    std::string Line4;        // the elapsed time of the open file, or ""
    TImage Image = TImage::Disabled;
};

// Reads the slot afresh under its lock; `nowMs` is GetMilliseconds() at the
// time of the call.
TSlotStatus DescribeSlot(const TSlotInfo& slot, std::uint64_t nowMs);
// The same, or nothing when the slot's lock is not to be had within a moment
// (its work is stuck in a folder that hangs): for the window, which must not wait.
std::optional<TSlotStatus> TryDescribeSlot(const TSlotInfo& slot, std::uint64_t nowMs);

// What keeps a slot from recording, as its row shows it in red; "" while it
// records (also in alarm) or is stopped on purpose.
std::string SlotTrouble(const TSlotStatus& status);

// "hh:nn:ss" of a duration in milliseconds; the hours start again at 00 after a day.
std::string ElapsedText(std::uint64_t ms);
