#include "SlotSettingsRules.h"

#include <algorithm>

#include "TextTools.h"

const std::vector<int> TSlotLimits::MpegBitrates{32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const std::vector<int> TSlotLimits::Samplerates{16000, 32000, 44100, 48000, 96000};

std::string ListText(const std::vector<int>& values) {
    std::string text;
    for (int v : values) {
        text += (text.empty() ? "" : ", ") + std::to_string(v);
    }
    return text.empty() ? "none" : text;
}

namespace {

std::string Range(const char* key, int value, int low, int high) {
    if (value >= low && value <= high) {
        return {};
    }
    return std::string(key) + " " + std::to_string(value) + " is out of range: " + std::to_string(low) + " to " +
           std::to_string(high);
}

} // namespace

std::vector<int> OfferedBitrates(TSlotFormat format, int samplerate, TSlotMode mode, const TWmaRateSource& wma) {
    if (format == TSlotFormat::mp3 || format == TSlotFormat::ogg) {
        return TSlotLimits::MpegBitrates;
    }
    return wma ? wma(samplerate, mode == TSlotMode::mono ? 1 : 2, format) : std::vector<int>{};
}

std::string CleanupEstimate(std::int64_t bitrate, TSlotFormat format, std::int64_t days) {
    std::int64_t b = bitrate;
    if (b == 0) {
        return "days";
    }
    if (format == TSlotFormat::wma || format == TSlotFormat::wmapro) {
        if (b < 100) {
            return "days";
        }
        b /= 1000; // bit/s to kbit/s
    }
    const std::int64_t bytes = b * 1024 / 8 * 3600 * 24 * days;
    return "days (~" + std::to_string(bytes / (std::int64_t(1) << 30)) + " GB)";
}

std::string CheckRanges(const TSlotSettings& v) {
    for (const std::string& refused :
         {Range("NominalLevel", v.NominalLevel, TSlotLimits::LevelMin, TSlotLimits::LevelMax),
          Range("RecordDelay", v.RecordDelay, TSlotLimits::DelayMin, TSlotLimits::DelayMax),
          Range("CleanupDays", v.CleanupDays, TSlotLimits::CleanupMin, TSlotLimits::CleanupMax),
          Range("CleanupSpace", v.CleanupSpace, TSlotLimits::CleanupMin, TSlotLimits::CleanupMax),
          Range("SilenceLevel", v.SilenceLevel, TSlotLimits::SilenceLevelMin, TSlotLimits::SilenceLevelMax),
          Range("SilenceSeconds", v.SilenceSeconds, TSlotLimits::SilenceSecondsMin, TSlotLimits::SilenceSecondsMax)}) {
        if (!refused.empty()) {
            return refused;
        }
    }
    return {};
}

TSettingsChange CompareSlotSettings(const TSlotSettings& from, const TSlotSettings& to) {
    return {!(to.Source == from.Source && to.Device == from.Device && to.StreamURL == from.StreamURL),
            !(to.Folder == from.Folder && to.Format == from.Format && to.Bitrate == from.Bitrate &&
              to.Mode == from.Mode && to.EncoderOptions == from.EncoderOptions)};
}

std::string DescribeChanges(const TSlotSettings& from, const TSlotSettings& to) {
    static const char* const Texts[] = {"Name", "Folder", "Device", "StreamURL", "EncoderOptions"};
    const auto before = from.Values();
    const auto after = to.Values();
    std::string text;
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
        const std::string& key = before[i].first;
        if (key == "Enabled" || before[i].second == after[i].second) {
            continue; // Enabled follows the slot's own commands
        }
        const bool quoted = std::find(std::begin(Texts), std::end(Texts), key) != std::end(Texts);
        const auto show = [quoted](const std::string& value) {
            return quoted ? "'" + LogText(value) + "'" : LogText(value);
        };
        text += (text.empty() ? "" : ", ") + key + " " + show(before[i].second) + " -> " + show(after[i].second);
    }
    return text;
}
