#pragma once

#include <cstdint>
#include <string>

// A failure that may go on for hours (an encoder retried once a minute, a pull
// that keeps failing, a port that stays taken): its first occurrence and any
// new text are told at once, the same text again at most once per reminder
// period while it lasts, so that a log of 1000 lines still shows the rest.
// Owned and used by one thread.
class TRepeatedFault {
public:
    enum class TTell { Nothing, First, Reminder };

    // What to tell of an occurrence of `text` at `nowMs`; with reminderMs 0 the
    // same text is told only once.
    TTell Occurred(const std::string& text, std::uint64_t nowMs, std::uint64_t reminderMs) {
        if (!FActive || text != FText) {
            const TTell tell = FActive ? TTell::Reminder : TTell::First;
            FActive = true;
            FText = text;
            FToldAt = nowMs;
            return tell;
        }
        if (reminderMs != 0 && nowMs - FToldAt >= reminderMs) {
            FToldAt = nowMs;
            return TTell::Reminder;
        }
        return TTell::Nothing;
    }

    // The failure is over; true when one was going on.
    bool End() {
        const bool was = FActive;
        FActive = false;
        FText.clear();
        return was;
    }

    bool Active() const { return FActive; }
    const std::string& Text() const { return FText; }

private:
    bool FActive = false;
    std::string FText;
    std::uint64_t FToldAt = 0;
};
