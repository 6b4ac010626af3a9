#include "SlotSettings.h"

namespace {

bool ReadBool(const TSettingsFile& file, const std::string& section, const char* key, const char* def) {
    return file.ReadString(section, key, def) == "on"; // only this exact word is true
}

const char* BoolText(bool v) { return v ? "on" : "off"; }

std::string SafeFileName(const std::string& name) {
    if (name.empty() || name == ".") {
        return "_";
    }
    if (name == "..") {
        return "__";
    }
    std::string safe = name;
    for (char& c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7f) {
            c = '_';
        }
    }
    return safe;
}

} // namespace

const char* SlotSourceName(TSlotSource v) {
    switch (v) {
    case TSlotSource::Soundcard:
        return "Soundcard";
    case TSlotSource::Stream:
        return "Stream";
    default:
        return "None";
    }
}

const char* SlotFormatName(TSlotFormat v) {
    switch (v) {
    case TSlotFormat::ogg:
        return "ogg";
    case TSlotFormat::wma:
        return "wma";
    case TSlotFormat::wmapro:
        return "wmapro";
    default:
        return "mp3";
    }
}

const char* SlotModeName(TSlotMode v) {
    switch (v) {
    case TSlotMode::mono:
        return "mono";
    case TSlotMode::jointstereo:
        return "jointstereo";
    default:
        return "stereo";
    }
}

std::string TSlotSettings::SectionName(int index) { return "Slot" + std::to_string(index); }

std::string TSlotSettings::DefaultFolder(const std::string& base, const std::string& name) {
    return base + "/Rudaz Odudad/" + SafeFileName(name);
}

void TSlotSettings::Read(const TSettingsFile& file, int index, const std::string& musicFolder) {
    const std::string s = SectionName(index);
    Samplerate = file.ReadInteger(s, "Samplerate", 44100);
    const std::string storedName = file.ReadString(s, "Name", "Slot " + std::to_string(index + 1));
    Name = CleanName(storedName);
    Enabled = ReadBool(file, s, "Enabled", "on");
    const std::string source = file.ReadString(s, "Source", "");
    Source = source == "Soundcard" ? TSlotSource::Soundcard
             : source == "Stream"  ? TSlotSource::Stream
                                   : TSlotSource::None;
    Device = file.ReadString(s, "Device", "");
    NominalLevel = static_cast<std::int16_t>(file.ReadInteger(s, "NominalLevel", 0));
    StreamURL = file.ReadString(s, "StreamURL", "");
    RecordDelay = file.ReadInteger(s, "RecordDelay", 0);
    const std::string format = file.ReadString(s, "Format", "mp3");
    Format = format == "ogg"      ? TSlotFormat::ogg
             : format == "wma"    ? TSlotFormat::wma
             : format == "wmapro" ? TSlotFormat::wmapro
                                  : TSlotFormat::mp3;
    Folder = file.ReadString(s, "Folder", DefaultFolder(musicFolder, storedName)); // where it recorded before
    FlatFilenames = ReadBool(file, s, "FlatFilenames", "off");
    NoAutoRotate = ReadBool(file, s, "NoAutoRotate", "off");
    Bitrate = file.ReadInteger(s, "Bitrate", 128);
    const std::string mode = file.ReadString(s, "Mode", "stereo");
    Mode = mode == "stereo" ? TSlotMode::stereo : mode == "jointstereo" ? TSlotMode::jointstereo : TSlotMode::mono;
    EncoderOptions = file.ReadString(s, "EncoderOptions", "");
    CleanupDaysEnabled = ReadBool(file, s, "CleanupDaysEnabled", "on");
    CleanupDays = file.ReadInteger(s, "CleanupDays", 365);
    CleanupSpaceEnabled = ReadBool(file, s, "CleanupSpaceEnabled", "on");
    CleanupSpace = file.ReadInteger(s, "CleanupSpace", 5);
    CleanupConfirmed = ReadBool(file, s, "CleanupConfirmed", "on");
    SilenceAlarm = ReadBool(file, s, "SilenceAlarm", "off");
    SilenceLevel = file.ReadInteger(s, "SilenceLevel", -50);
    SilenceSeconds = file.ReadInteger(s, "SilenceSeconds", 30);
}

std::string TSlotSettings::CleanName(std::string name) {
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return name;
}

std::vector<std::pair<std::string, std::string>> TSlotSettings::Values() const {
    return {
                                              {"Enabled", BoolText(Enabled)},
                                              {"Name", Name},
                                              {"Folder", Folder},
                                              {"FlatFilenames", BoolText(FlatFilenames)},
                                              {"NoAutoRotate", BoolText(NoAutoRotate)},
                                              {"Source", SlotSourceName(Source)},
                                              {"Device", Device},
                                              {"NominalLevel", std::to_string(NominalLevel)},
                                              {"StreamURL", StreamURL},
                                              {"RecordDelay", std::to_string(RecordDelay)},
                                              {"Format", SlotFormatName(Format)},
                                              {"Bitrate", std::to_string(Bitrate)},
                                              {"Samplerate", std::to_string(Samplerate)},
                                              {"Mode", SlotModeName(Mode)},
                                              {"EncoderOptions", EncoderOptions},
                                              {"CleanupDaysEnabled", BoolText(CleanupDaysEnabled)},
                                              {"CleanupDays", std::to_string(CleanupDays)},
                                              {"CleanupSpaceEnabled", BoolText(CleanupSpaceEnabled)},
                                              {"CleanupSpace", std::to_string(CleanupSpace)},
                                              {"SilenceAlarm", BoolText(SilenceAlarm)},
                                              {"SilenceLevel", std::to_string(SilenceLevel)},
                                              {"SilenceSeconds", std::to_string(SilenceSeconds)},
                                              {"CleanupConfirmed", BoolText(CleanupConfirmed)},
                                          };
}

void TSlotSettings::Write(TSettingsFile& file, int index) const {
    auto values = Values();
    for (auto& [key, value] : values) {
        if (const auto kept = KeptTexts.find(key); kept != KeptTexts.end()) {
            value = kept->second;
        }
    }
    file.WriteSection(SectionName(index), values);
}
