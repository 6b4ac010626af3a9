#include "SlotFixture.h"

#include <fstream>

using namespace TestSupport;

using TSlotSettingsTest = TSlotFixture;

namespace {
std::vector<std::string> SectionLines(const std::string& iniPath, const std::string& section) {
    std::ifstream in(iniPath);
    std::vector<std::string> lines;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (inside && line.find('=') != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}
} // namespace

TEST_F(TSlotSettingsTest, AMissingSectionReadsDefaultsAndAllKeysAreWrittenBack) {
    {
        auto slot = MakeSlot(2, {});
        EXPECT_TRUE(slot->Enabled);
        EXPECT_EQ(slot->Name, "Slot 3");
        EXPECT_EQ(slot->Folder, (Dir.Path() / "Music").string() + "/Rudaz Odudad/Slot 3");
        EXPECT_EQ(slot->Source, TSlotSource::None);
        EXPECT_EQ(slot->Format, TSlotFormat::mp3);
        EXPECT_EQ(slot->Bitrate, 128);
        EXPECT_EQ(slot->Samplerate, 44100);
        EXPECT_EQ(slot->ActiveSamplerate, 44100);
        EXPECT_EQ(slot->Mode, TSlotMode::stereo);
        EXPECT_TRUE(slot->CleanupDaysEnabled);
        EXPECT_EQ(slot->CleanupDays, 365);
        EXPECT_TRUE(slot->CleanupSpaceEnabled);
        EXPECT_EQ(slot->CleanupSpace, 5);
        EXPECT_FALSE(slot->SilenceAlarm);
        EXPECT_EQ(slot->SilenceLevel, -50);
        EXPECT_EQ(slot->SilenceSeconds, 30);
        slot->Name = "Studio A";
        slot->NominalLevel = -10;
    }
    const auto lines = SectionLines(Settings.FileName().string(), "Slot2");
    const std::vector<std::string> keys{"Enabled",     "Name",           "Folder",
                                        "FlatFilenames", "NoAutoRotate", "Source",
                                        "Device",      "NominalLevel",   "StreamURL",
                                        "RecordDelay", "Format",         "Bitrate",
                                        "Samplerate",  "Mode",           "EncoderOptions",
                                        "CleanupDaysEnabled", "CleanupDays", "CleanupSpaceEnabled",
                                        "CleanupSpace", "SilenceAlarm", "SilenceLevel",
                                        "SilenceSeconds", "CleanupConfirmed"};
    ASSERT_EQ(lines.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, lines[i].find('=')), keys[i]) << "key " << i << " in its place";
    }
    EXPECT_EQ(Settings.ReadString("Slot2", "NominalLevel", ""), "-10");
    EXPECT_EQ(Settings.ReadString("Slot2", "Enabled", ""), "on");
    EXPECT_EQ(Settings.ReadString("Slot2", "Source", ""), "None");
    EXPECT_EQ(Settings.ReadString("Slot2", "Name", ""), "Studio A");
    // The folder was derived from the name when it was read, not from the new name.
    EXPECT_EQ(Settings.ReadString("Slot2", "Folder", ""), (Dir.Path() / "Music").string() + "/Rudaz Odudad/Slot 3");
}

TEST_F(TSlotSettingsTest, OddValuesReadAsTheRulesSayRefusedWordsAreKeptTheRestNormalised) {
    {
        auto slot = MakeSlot(0, {{"Enabled", "On"},
                                 {"Format", "aac"},
                                 {"Mode", "joint"},
                                 {"Source", "soundcard"},
                                 {"Bitrate", ""},
                                 {"CleanupDays", "0x10"},
                                 {"RecordDelay", "abc"},
                                 {"FlatFilenames", "on"},
                                 {"Name", "Studio A"}});
        EXPECT_FALSE(slot->Enabled);
        EXPECT_EQ(slot->Format, TSlotFormat::mp3);
        EXPECT_EQ(slot->Mode, TSlotMode::mono);
        EXPECT_EQ(slot->Source, TSlotSource::None);
        EXPECT_EQ(slot->Bitrate, 128);
        EXPECT_EQ(slot->CleanupDays, 16);
        EXPECT_EQ(slot->RecordDelay, 0);
        EXPECT_TRUE(slot->FlatFilenames);
        EXPECT_EQ(slot->Folder, (Dir.Path() / "Music").string() + "/Rudaz Odudad/Studio A");
        EXPECT_EQ(slot->SettingsFault, "Format \"aac\" is not supported: mp3, ogg, wma, wmapro");
        EXPECT_EQ(slot->SettingsNotes.size(), 4u) << "the format, the mode, the delay and the bit rate";
    }
    EXPECT_EQ(Settings.ReadString("Slot0", "Enabled", ""), "off");
    EXPECT_EQ(Settings.ReadString("Slot0", "Format", ""), "aac") << "kept as typed until it is changed";
    EXPECT_EQ(Settings.ReadString("Slot0", "Mode", ""), "joint");
    EXPECT_EQ(Settings.ReadString("Slot0", "Bitrate", "(absent)"), "128") << "the default it used";
    EXPECT_EQ(Settings.ReadString("Slot0", "Source", ""), "None");
    EXPECT_EQ(Settings.ReadString("Slot0", "CleanupDays", ""), "16");

    auto empty = MakeSlot(1, {{"Enabled", ""}});
    EXPECT_FALSE(empty->Enabled) << "present but empty is off";
}

TEST_F(TSlotSettingsTest, ASampleRateChangedWhileRunningIsSavedButNotUsedUntilTheNextStart) {
    {
        auto slot = MakeSlot(0, {{"Samplerate", "48000"}});
        slot->Samplerate = 32000;
        EXPECT_EQ(slot->ActiveSamplerate, 48000);
    }
    auto again = MakeSlot(0, {});
    EXPECT_EQ(again->ActiveSamplerate, 32000);
}
