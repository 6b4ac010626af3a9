// A settings file edited by hand with values the slot dialog would never
// accept, run by the real program with the real encoders: a refused slot
// records nothing, says nothing of recording and is in alarm for it.
#include "Catalogue.h"
#include "HttpClient.h"
#include "LoggerProgram.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace TestSupport;

namespace {

// Audio files below `folder`, and rows of its catalogue.
std::size_t Recordings(const std::string& folder) {
    std::size_t found = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const auto extension = it->path().extension();
        found += extension == ".mp3" || extension == ".ogg" || extension == ".wma";
    }
    if (std::filesystem::exists(folder + "/RudazOdudad.db")) {
        TCatalogue db(folder + "/RudazOdudad.db");
        auto rows = db.Prepare("SELECT COUNT(*) FROM recordings");
        rows.Step();
        found += static_cast<std::size_t>(rows.ColumnInt64(0));
    }
    return found;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace

TEST(SettingsCheck, BadHandEditsRefuseOrRepairTheirSlotsUnreadNumbersGiveDefaultsAndOneStartWritesTheRepairBack) {
    TTempDir dir;
    const int port = FreePort();
    struct TCase {
        std::string Name;
        std::vector<std::pair<std::string, std::string>> Keys;
        std::string Refusal; // "" for a slot that records
        bool Started = true;
    };
    // 144 is no MPEG-1 rate: lame would round it, so it is not offered.
    const std::string lameRates = "8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320";
    const std::vector<TCase> cases{
        {"Rate 1", {{"Samplerate", "1"}}, "Samplerate 1 is not supported: 8000, 11025, 12000, 16000, 22050, 24000"},
        {"Rate 2M", {{"Format", "ogg"}, {"Samplerate", "2000000"}}, "Samplerate 2000000 is not supported: 8000,"},
        {"Minus five", {{"Bitrate", "-5"}}, "Bitrate -5 is not supported for mp3 at 44100 Hz: " + lameRates},
        {"Quadro", {{"Mode", "quadro"}}, "Mode \"quadro\" is not supported: mono, stereo, jointstereo"},
        {"Xyz", {{"Format", "xyz"}}, "Format \"xyz\" is not supported: mp3, ogg, wma, wmapro"},
        {"Ranges",
         {{"RecordDelay", "-10"}, {"CleanupDays", "-1"}, {"CleanupSpace", "-3"}, {"NominalLevel", "9999"},
          {"MyNote", "kept"}},
         ""},
        {"Hexadecimal", {{"Bitrate", "0xA0"}}, ""},
        {"Spaces", {{"Bitrate", "  96  "}}, ""},
        {"Ogg off the list", {{"Format", "ogg"}, {"Bitrate", "129"}}, ""},
        // A number that cannot be read gives its default, as the reading rules say.
        {"Empty", {{"Bitrate", ""}}, ""},
        {"With unit", {{"Format", "ogg"}, {"Bitrate", "96k"}, {"Samplerate", "48 kHz"}}, ""},
        {"Stopped", {{"Bitrate", "100"}, {"Enabled", "off"}}, "Bitrate 100 is not supported for mp3 at 44100 Hz: ", false},
    };
    const std::string hook = dir.File("hook.sh");
    std::ofstream(hook) << "#!/bin/sh\nprintf '%s|' \"$@\" >> '" << dir.File("hook.txt") << "'\necho >> '"
                        << dir.File("hook.txt") << "'\n";
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    {
        // Written as a user types it: the blanks around "96" too.
        std::ofstream ini(dir.Path() / "RudazOdudad.ini");
        ini << "[General]\nSlots=" << cases.size() << "\n[Webserver]\nEnabled=on\nCommandExecution=on\nPort=" << port << "\n"
            << "[Alarms]\nNotRecordingSeconds=2\nCommand=" << hook << "\n";
        for (std::size_t i = 0; i < cases.size(); ++i) {
            ini << "[Slot" << i << "]\nName=" << cases[i].Name << "\nFolder=" << dir.File("slot" + std::to_string(i))
                << "\nSource=Soundcard\nDevice=TEST:0\n";
            for (const auto& [key, value] : cases[i].Keys) {
                ini << key << "=" << value << "\n";
            }
        }
    }
    TLoggerProgram program(dir.Path().string());
    ASSERT_TRUE(program.WaitForLog("Web server started", std::chrono::seconds(20))) << program.Log();
    std::size_t refused = 0;
    for (const TCase& c : cases) {
        refused += c.Started && !c.Refusal.empty();
    }
    const auto hookRuns = [&] {
        std::ifstream in(dir.File("hook.txt"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    };
    // Every refused slot that should record is in alarm, and its hook has run.
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::size_t raised = 0;
            for (const auto& run : hookRuns()) {
                raised += run.starts_with("not_recording|raise|");
            }
            return raised >= refused;
        },
        30))
        << program.Log();
    std::this_thread::sleep_for(std::chrono::seconds(3)); // for any alarm that should not come

    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const auto slots = nlohmann::json::parse(Get(base + "/ws/slots").Body);
    const auto status = nlohmann::json::parse(Get(base + "/ws/status").Body);
    const std::string metrics = Get(base + "/metrics").Body;
    const std::vector<std::string> hooks = hookRuns();
    const std::string log = program.Log();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const TCase& c = cases[i];
        SCOPED_TRACE(c.Name);
        const std::string folder = dir.File("slot" + std::to_string(i));
        const bool alarm = c.Started && !c.Refusal.empty();
        const std::string series = "rudazodudad_alarm_active{slot=\"" + std::to_string(i) + "\",name=\"" + c.Name +
                                   "\",kind=\"not_recording\"} ";
        EXPECT_NE(metrics.find(series + (alarm ? "1\n" : "0\n")), std::string::npos) << series << "\n" << metrics;
        EXPECT_EQ(Count(log, c.Name + ": Not recording since "), alarm ? 1u : 0u) << log;
        EXPECT_EQ(Count(log, c.Name + ": Recording from "), c.Refusal.empty() ? 1u : 0u)
            << "nothing says a refused slot records\n" << log;
        nlohmann::json alarms = nlohmann::json::array();
        for (const auto& a : status["Slots"][i]["Alarms"]) {
            if (a["Kind"] == "not_recording") {
                alarms.push_back(a);
            }
        }
        EXPECT_EQ(alarms.size(), alarm ? 1u : 0u) << status["Slots"][i].dump();
        std::size_t runs = 0;
        for (const auto& run : hooks) {
            runs += run.starts_with("not_recording|raise|" + std::to_string(i) + "|" + c.Name + "|Not recording since ");
        }
        EXPECT_EQ(runs, alarm ? 1u : 0u);
        if (alarm && alarms.size() == 1) {
            TCatalogue db(folder + "/RudazOdudad.db");
            auto event = db.Prepare("SELECT kind, text, endtime IS NULL FROM events WHERE kind='not_recording'");
            ASSERT_TRUE(event.Step());
            EXPECT_EQ(event.ColumnText(0), "not_recording");
            EXPECT_EQ(event.ColumnText(1), alarms[0]["Text"].get<std::string>());
            EXPECT_EQ(event.ColumnInt64(2), 1) << "still in alarm";
        }
        if (c.Refusal.empty()) {
            EXPECT_TRUE(slots[i]["Recording"].get<bool>()) << slots[i].dump();
            EXPECT_GT(Recordings(folder), 0u);
            continue;
        }
        EXPECT_EQ(Count(log, c.Name + ": " + c.Refusal), 1u) << "logged once\n" << log;
        EXPECT_FALSE(slots[i]["Recording"].get<bool>());
        if (c.Started) {
            EXPECT_NE(slots[i]["Error"].get<std::string>().find(c.Refusal), std::string::npos) << slots[i].dump();
        }
        EXPECT_EQ(Recordings(folder), 0u) << "no file and no row";
    }
    // Stopping a slot in alarm ends the alarm.
    const auto stop = Http({"POST", base + "/execute", {"Content-Type: application/x-www-form-urlencoded"},
                            "command=SLOT+3+STOP", {}});
    EXPECT_EQ(stop.Status, 200);
    EXPECT_TRUE(program.WaitForLog("Minus five: Not recording ended after 00:00:", std::chrono::seconds(10)))
        << program.Log();
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const auto& run : hookRuns()) {
                if (run.starts_with("not_recording|clear|2|Minus five|Not recording ended after ")) {
                    return true;
                }
            }
            return false;
        },
        10));
    {
        TCatalogue db(dir.File("slot2") + "/RudazOdudad.db");
        auto ended = db.Prepare("SELECT COUNT(*) FROM events WHERE kind='not_recording' AND endtime IS NOT NULL");
        ASSERT_TRUE(ended.Step());
        EXPECT_EQ(ended.ColumnInt64(0), 1);
    }
    for (const char* line : {"Ranges: RecordDelay -10 is out of range (0 to 3600): 0 is used",
                             "Ranges: NominalLevel 9999 is out of range (-100 to 100): 100 is used",
                             "Ranges: CleanupDays -1 is out of range (1 to 32767): deleting by age is off",
                             "Ranges: CleanupSpace -3 is out of range (1 to 32767): deleting when the disk runs short "
                             "is off",
                             "Empty: Bitrate \"\" is not a whole number: 128 is used",
                             "With unit: Bitrate \"96k\" is not a whole number: 128 is used",
                             "With unit: Samplerate \"48 kHz\" is not a whole number: 44100 is used"}) {
        EXPECT_EQ(Count(log, line), 1u) << line << "\n" << log;
    }
    ASSERT_EQ(program.Stop(SIGTERM), 0) << program.Log();

    // The encoders' files hold the rates asked for.
    const auto fileOf = [&](std::size_t slot) {
        const std::string folder = dir.File("slot" + std::to_string(slot));
        TCatalogue db(folder + "/RudazOdudad.db");
        auto row = db.Prepare("SELECT filename FROM recordings");
        EXPECT_TRUE(row.Step());
        return folder + "/" + row.ColumnText(0);
    };
    const auto bitrateOf = [&](std::size_t slot) {
        return RunCommand("ffprobe -v error -show_entries stream=bit_rate -of default=nw=1:nk=1 '" + fileOf(slot) + "'")
            .Output;
    };
    EXPECT_EQ(bitrateOf(6), "160000\n");
    EXPECT_EQ(bitrateOf(7), "96000\n");
    EXPECT_EQ(bitrateOf(8), "129000\n");
    EXPECT_EQ(bitrateOf(9), "128000\n");
    EXPECT_EQ(bitrateOf(10), "128000\n") << "the default, not the 96 in \"96k\"";
    EXPECT_EQ(ProbeAudio(fileOf(10)).SampleRate, 44100);

    // Written back: what the slots used, the refused texts as they were, the other keys kept.
    TSettingsStore after(dir.Path() / "RudazOdudad.ini");
    const std::vector<std::tuple<std::string, std::string, std::string>> expected{
        {"Slot0", "Samplerate", "1"},           {"Slot3", "Mode", "quadro"},
        {"Slot4", "Format", "xyz"},             {"Slot5", "RecordDelay", "0"},
        {"Slot5", "NominalLevel", "100"},       {"Slot5", "CleanupDaysEnabled", "off"},
        {"Slot5", "CleanupDays", "32767"},      {"Slot5", "CleanupSpaceEnabled", "off"},
        {"Slot5", "CleanupSpace", "1"},         {"Slot5", "MyNote", "kept"},
        {"Slot6", "Bitrate", "160"},            {"Slot7", "Bitrate", "96"},
        {"Slot9", "Bitrate", "128"},            {"Slot10", "Bitrate", "128"},
        {"Slot10", "Samplerate", "44100"},
    };
    for (const auto& [section, key, value] : expected) {
        EXPECT_EQ(after.ReadString(section, key, "(absent)"), value) << section << "/" << key;
    }
}
