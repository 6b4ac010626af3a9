#include "SettingsReview.h"

#include <algorithm>

std::string CheckRecording(const TSlotSettings& v, int samplerate, TEncoderCapabilities* encoders) {
    if (encoders == nullptr) {
        return {};
    }
    const int channels = v.Mode == TSlotMode::mono ? 1 : 2;
    // One try of the rate and bit rate together answers the usual case; the
    // rate alone is tried only to tell which of the two is wrong. Only a clear
    // refusal refuses: a probe that told nothing lets the encoder's start decide.
    for (int rate : {samplerate, v.Samplerate}) {
        if (encoders->Accepts(v.Format, rate, channels, v.Bitrate)) {
            continue;
        }
        if (encoders->Ask(v.Format, v.Samplerate, channels, 0) == TEncoderCapabilities::TAnswer::Refused) {
            const std::vector<int> rates = encoders->Samplerates(v.Format);
            if (rates.empty()) {
                return {}; // no encoder to ask (lame missing, no WMA codec): its start says why
            }
            return "Samplerate " + std::to_string(v.Samplerate) + " is not supported: " + ListText(rates);
        }
        return "Bitrate " + std::to_string(v.Bitrate) + " is not supported for " + SlotFormatName(v.Format) +
               " at " + std::to_string(rate) + " Hz: " + ListText(encoders->Bitrates(v.Format, rate, channels));
    }
    return {};
}

namespace {

// A hand-typed text as a log line may show it: control characters become '?'.
std::string Shown(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return text;
}

template <class TEnum, std::size_t N>
std::string CheckWord(const TSettingsFile& file, const std::string& section, const char* key, const char* def,
                      const TEnum (&all)[N], const char* (*name)(TEnum), TSlotSettings& v) {
    const std::string text = file.ReadString(section, key, def);
    std::string names;
    for (TEnum e : all) {
        if (text == name(e)) {
            return {};
        }
        names += (names.empty() ? "" : ", ") + std::string(name(e));
    }
    v.KeptTexts[key] = text;
    return std::string(key) + " \"" + Shown(text) + "\" is not supported: " + names;
}

// The reading rules gave the default for a number that cannot be read; the note names what was used.
void NoteUnreadNumber(const TSettingsFile& file, const std::string& section, const char* key, int used,
                      std::vector<std::string>& notes) {
    constexpr const char* Absent = "\x01";
    const std::string text = file.ReadString(section, key, Absent);
    // A text that is no whole number reads as whichever default is asked for: then both differ.
    if (text == Absent || file.ReadInteger(section, key, 0) == file.ReadInteger(section, key, 1)) {
        return;
    }
    notes.push_back(std::string(key) + " \"" + Shown(text) + "\" is not a whole number: " + std::to_string(used) +
                    " is used");
}

// Brings the number of `key` into its limits; the note says so.
template <class T>
void Clamp(const TSettingsFile& file, const std::string& section, const char* key, T& value, int low, int high,
           std::vector<std::string>& notes) {
    const int read = file.ReadInteger(section, key, static_cast<int>(value));
    if (read >= low && read <= high) {
        return;
    }
    value = static_cast<T>(std::clamp(read, low, high));
    notes.push_back(std::string(key) + " " + std::to_string(read) + " is out of range (" + std::to_string(low) +
                    " to " + std::to_string(high) + "): " + std::to_string(value) + " is used");
}

// A cleanup number outside its limits turns its rule off: a typing error must never delete recordings.
void RuleOff(const char* key, int& value, bool& enabled, int safest, const char* rule,
             std::vector<std::string>& notes) {
    if (value >= TSlotLimits::CleanupMin && value <= TSlotLimits::CleanupMax) {
        return;
    }
    notes.push_back(std::string(key) + " " + std::to_string(value) + " is out of range (" +
                    std::to_string(TSlotLimits::CleanupMin) + " to " + std::to_string(TSlotLimits::CleanupMax) +
                    "): " + rule + " is off");
    value = safest;
    enabled = false;
}

constexpr TSlotFormat AllFormats[] = {TSlotFormat::mp3, TSlotFormat::ogg, TSlotFormat::wma, TSlotFormat::wmapro};
constexpr TSlotMode AllModes[] = {TSlotMode::mono, TSlotMode::stereo, TSlotMode::jointstereo};

} // namespace

TSettingsReview ReviewSlotSettings(TSlotSettings& v, const TSettingsFile& file, int index,
                                   TEncoderCapabilities* encoders) {
    const std::string s = TSlotSettings::SectionName(index);
    TSettingsReview review;
    v.KeptTexts.clear();
    for (const std::string& wrong : {CheckWord(file, s, "Format", "mp3", AllFormats, SlotFormatName, v),
                                     CheckWord(file, s, "Mode", "stereo", AllModes, SlotModeName, v)}) {
        if (!wrong.empty()) {
            review.Notes.push_back(wrong);
        }
    }
    if (review.Notes.empty()) {
        if (const std::string wrong = CheckRecording(v, v.Samplerate, encoders); !wrong.empty()) {
            review.Notes.push_back(wrong);
            const int channels = v.Mode == TSlotMode::mono ? 1 : 2;
            review.RateRefused = !encoders->Accepts(v.Format, v.Samplerate, channels, 0); // answered already
        }
    }
    if (!review.Notes.empty()) {
        review.Refusal = review.Notes.front();
    }
    NoteUnreadNumber(file, s, "Samplerate", v.Samplerate, review.Notes);
    NoteUnreadNumber(file, s, "NominalLevel", v.NominalLevel, review.Notes);
    NoteUnreadNumber(file, s, "RecordDelay", v.RecordDelay, review.Notes);
    NoteUnreadNumber(file, s, "Bitrate", v.Bitrate, review.Notes);
    NoteUnreadNumber(file, s, "CleanupDays", v.CleanupDays, review.Notes);
    NoteUnreadNumber(file, s, "CleanupSpace", v.CleanupSpace, review.Notes);
    NoteUnreadNumber(file, s, "SilenceLevel", v.SilenceLevel, review.Notes);
    NoteUnreadNumber(file, s, "SilenceSeconds", v.SilenceSeconds, review.Notes);
    int level = v.NominalLevel;
    Clamp(file, s, "NominalLevel", level, TSlotLimits::LevelMin, TSlotLimits::LevelMax, review.Notes);
    v.NominalLevel = static_cast<std::int16_t>(level);
    Clamp(file, s, "RecordDelay", v.RecordDelay, TSlotLimits::DelayMin, TSlotLimits::DelayMax, review.Notes);
    Clamp(file, s, "SilenceLevel", v.SilenceLevel, TSlotLimits::SilenceLevelMin, TSlotLimits::SilenceLevelMax,
          review.Notes);
    Clamp(file, s, "SilenceSeconds", v.SilenceSeconds, TSlotLimits::SilenceSecondsMin, TSlotLimits::SilenceSecondsMax,
          review.Notes);
    RuleOff("CleanupDays", v.CleanupDays, v.CleanupDaysEnabled, TSlotLimits::CleanupMax, "deleting by age",
            review.Notes);
    RuleOff("CleanupSpace", v.CleanupSpace, v.CleanupSpaceEnabled, TSlotLimits::CleanupMin,
            "deleting when the disk runs short", review.Notes);
    return review;
}
