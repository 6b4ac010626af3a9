#pragma once

#include "SlotSettings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the slot dialog offers and accepts for each setting, shared by the
// dialog and the web settings so that both refuse and estimate alike.
struct TSlotLimits {
    static constexpr int LevelMin = -100, LevelMax = 100;
    static constexpr int DelayMin = 0, DelayMax = 3600;
    static constexpr int CleanupMin = 1, CleanupMax = 32767;
    static constexpr int SilenceLevelMin = -150, SilenceLevelMax = 0;
    static constexpr int SilenceSecondsMin = 1, SilenceSecondsMax = 32767;
    static const std::vector<int> MpegBitrates; // kbit/s, for mp3 and ogg
    static const std::vector<int> Samplerates;
};

// The WMA encoder's bit rates (bit/s) for a sample rate and channel count;
// empty when the codec is missing.
using TWmaRateSource = std::function<std::vector<int>(int samplerate, int channels, TSlotFormat format)>;

// "32, 40, 48", or "none".
std::string ListText(const std::vector<int>& values);

// The bit rates offered for `format`: the MPEG list, or the WMA encoder's at
// `samplerate` with one channel for mono and two otherwise.
std::vector<int> OfferedBitrates(TSlotFormat format, int samplerate, TSlotMode mode, const TWmaRateSource& wma);

// The text after the days field: "days", or "days (~N GB)" for what `days`
// of recordings at `bitrate` take.
std::string CleanupEstimate(std::int64_t bitrate, TSlotFormat format, std::int64_t days);

// Why the numbers are outside the dialog's limits (level, delay, cleanup,
// silence alarm), naming the first such setting, its value and the limits;
// "" when none is.
std::string CheckRanges(const TSlotSettings& values);

// Which of the changes from `from` to `to` restart what, as the dialog tells them.
struct TSettingsChange {
    bool Input = false;  // source, device or stream URL
    bool Output = false; // folder, format, bit rate, mode or encoder options
};
TSettingsChange CompareSlotSettings(const TSlotSettings& from, const TSlotSettings& to);

// Every setting that differs, for the log: "Folder '/srv/a' -> '/srv/b', Bitrate 128 -> 192";
// texts quoted, their control characters as '?'; "" when none does.
std::string DescribeChanges(const TSlotSettings& from, const TSlotSettings& to);
