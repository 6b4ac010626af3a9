#include "SlotStatus.h"

#include "SlotInfo.h"

#include <cstdio>
#include <mutex>

std::string ElapsedText(std::uint64_t ms) {
    const std::uint64_t seconds = (ms / 1000) % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return text;
}

std::optional<TSlotStatus> TryDescribeSlot(const TSlotInfo& slot, std::uint64_t nowMs) {
    std::unique_lock lock(slot.Lock, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(5))) {
        return std::nullopt;
    }
    return DescribeSlot(slot, nowMs);
}

TSlotStatus DescribeSlot(const TSlotInfo& slot, std::uint64_t nowMs) {
    std::lock_guard guard(slot.Lock);
    TSlotStatus s;
    switch (slot.Source) {
    case TSlotSource::None:
        s.Line2 = "Disabled";
        s.Image = TSlotStatus::TImage::Disabled;
        return s;
    case TSlotSource::Soundcard:
        if (slot.AttachedDevice == nullptr) {
            s.Line2 = "Error: " + slot.LastError;
            s.Line2Error = true;
            s.Image = TSlotStatus::TImage::Error;
            return s;
        }
        s.Line2 = slot.AttachedDevice->Name;
        if (slot.InputLost()) {
            // The file stays open for the device's return, but nothing reaches it.
            s.Line2 = "Input lost: " + slot.LastError;
            s.Line2Error = true;
        }
        break;
    case TSlotSource::Stream:
        if (!slot.StreamConnected()) {
            s.Line2 = slot.GetStreamStatus();
            s.Line2Error = true;
            s.Image = TSlotStatus::TImage::Error;
            return s;
        }
        s.Line2 = !slot.StreamTitle.empty() ? slot.StreamTitle : slot.ActiveStreamURL;
        break;
    }
    if (slot.HasEncoder() && !slot.PullFault().empty()) {
        s.Line3 = "Recording error: " + slot.PullFault();
        s.Line3Error = true;
        s.Image = TSlotStatus::TImage::Error;
    } else if (slot.HasEncoder()) {
        s.Line3 = slot.CurrentFile;
        s.Line3IsFile = true;
        if (s.Line2Error) {
            s.Image = TSlotStatus::TImage::Error;
        } else {
            s.Line4 = ElapsedText(nowMs - slot.FileStartTicks);
            s.Image = TSlotStatus::TImage::Ok;
        }
    } else if (!slot.Enabled) {
        s.Line3 = "Encoder stopped";
        s.Image = TSlotStatus::TImage::Disabled;
    } else {
        s.Line3 = "Encoder error: " + slot.LastError;
        s.Line3Error = true;
        s.Image = TSlotStatus::TImage::Error;
    }
    // An alarm of a slot whose row does not already say what is wrong takes
    // the place of the source's name; the file line stays.
    if (!s.Line2Error) {
        std::string alarms;
        for (const TAlarm& alarm : slot.Alarms()) {
            alarms += (alarms.empty() ? "" : "; ") + alarm.Text;
        }
        if (!alarms.empty()) {
            s.Line2 = alarms;
            s.Line2Alarm = true;
            s.Image = TSlotStatus::TImage::Error;
        }
    }
    return s;
}

std::string SlotTrouble(const TSlotStatus& status) {
    return status.Line2Error ? status.Line2 : status.Line3Error ? status.Line3 : std::string();
}
