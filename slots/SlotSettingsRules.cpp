#include "SlotSettingsRules.h"

#include "WmaEncoder.h"

#include <algorithm>

const std::vector<int> TSlotLimits::MpegBitrates{32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
const std::vector<int> TSlotLimits::Samplerates{16000, 32000, 44100, 48000, 96000};

namespace {

std::string List(const std::vector<int>& values) {
    std::string text;
    for (int v : values) {
        text += (text.empty() ? "" : ", ") + std::to_string(v);
    }
    return text.empty() ? "none" : text;
}

std::string Range(const char* key, int value, int low, int high) {
    if (value >= low && value <= high) {
        return {};
    }
    return std::string(key) + " " + std::to_string(value) + " is out of range: " + std::to_string(low) + " to " +
           std::to_string(high);
}

} // namespace

std::vector<int> WmaEncoderRates(int samplerate, int channels, TSlotFormat format) {
    return TWmaEncoder::GetRates(samplerate, channels,
                                 format == TSlotFormat::wmapro ? TWmaEncoder::TKind::Pro : TWmaEncoder::TKind::Standard);
}

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

std::string CheckSlotSettings(const TSlotSettings& v, const std::vector<int>& bitrates) {
    if (std::find(bitrates.begin(), bitrates.end(), v.Bitrate) == bitrates.end()) {
        return "Bitrate " + std::to_string(v.Bitrate) + " is not offered for " + SlotFormatName(v.Format) + ": " +
               List(bitrates);
    }
    const auto& rates = TSlotLimits::Samplerates;
    if (std::find(rates.begin(), rates.end(), v.Samplerate) == rates.end()) {
        return "Samplerate " + std::to_string(v.Samplerate) + " is not supported: " + List(rates);
    }
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
