#pragma once

#include "SettingsFile.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

enum class TSlotSource { None, Soundcard, Stream };
enum class TSlotFormat { mp3, ogg, wma, wmapro };
enum class TSlotMode { mono, stereo, jointstereo };

const char* SlotSourceName(TSlotSource v);
const char* SlotFormatName(TSlotFormat v);
const char* SlotModeName(TSlotMode v);

// A slot's persistent settings, stored under their own names in section
// "Slot%d". Reading follows fixed rules (defaults for what it cannot read);
// ReviewSlotSettings checks the result.
struct TSlotSettings {
    bool Enabled = true;
    std::string Name;
    std::string Folder;
    bool FlatFilenames = false;
    bool NoAutoRotate = false;
    TSlotSource Source = TSlotSource::None;
    std::string Device;
    std::int16_t NominalLevel = 0;
    std::string StreamURL;
    int RecordDelay = 0;
    TSlotFormat Format = TSlotFormat::mp3;
    int Bitrate = 128;
    int Samplerate = 44100;
    TSlotMode Mode = TSlotMode::stereo;
    std::string EncoderOptions;
    bool CleanupDaysEnabled = true;
    int CleanupDays = 365;
    bool CleanupSpaceEnabled = true;
    int CleanupSpace = 5;
    // Off while the folder holds a catalogue the slot took over with its
    // folder: nothing is cleaned there until the user confirms it.
    bool CleanupConfirmed = true;
    // Both channels below SilenceLevel (dBFS) for SilenceSeconds raise an alarm.
    bool SilenceAlarm = false;
    int SilenceLevel = -50;
    int SilenceSeconds = 30;
    // Texts of keys that the start-up check refused (a format "xyz", a mode
    // "quadro"): written back as they were, until a change replaces them.
    std::map<std::string, std::string> KeptTexts;

    static std::string SectionName(int index);
    // base + "/Rudaz Odudad/" + name, where the name cannot leave that folder:
    // '/' and control characters become '_', and the names "", "." and ".."
    // become "_", "_" and "__".
    static std::string DefaultFolder(const std::string& base, const std::string& name);

    // Reads section Slot<index>; the default folder is DefaultFolder(musicFolder, Name).
    void Read(const TSettingsFile& file, int index, const std::string& musicFolder);
    // Writes all twenty-three keys, in their fixed order.
    void Write(TSettingsFile& file, int index) const;
    // The keys and their texts as Write writes them (without the kept texts).
    std::vector<std::pair<std::string, std::string>> Values() const;
    // A name as it is shown and logged: control characters become spaces.
    static std::string CleanName(std::string name);
};
