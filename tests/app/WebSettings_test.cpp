// A headless server set up from the web: the real program, its settings file
// and its recordings, changed over HTTP as the settings view changes them.
#include "Catalogue.h"
#include "HttpClient.h"
#include "IcyServer.h"
#include "LoggerProgram.h"
#include "PulseServer.h"
#include "SettingsStore.h"
#include "TestSupport.h"
#include "WebServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

using namespace TestSupport;
using TJson = nlohmann::json;

namespace {

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class TWebSettingsTest : public ::testing::Test {
protected:
    void WriteSettings(const std::vector<std::pair<std::string, std::string>>& web) {
        TSettingsStore ini(Ini);
        ini.WriteString("General", "Slots", "2");
        ini.WriteSection("Webserver", web);
        ini.WriteSection("Slot0", {{"Name", "Studio"}, {"Folder", Folder}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
        ini.WriteSection("Slot1", {{"Folder", Dir.File("idle")}});
    }
    std::vector<std::pair<std::string, std::string>> Web(bool configuration, const std::string& user = "admin") {
        return {{"Enabled", "on"},   {"Port", std::to_string(Port)}, {"User", user},
                {"Password", HashWebServerPassword("s3cret")}, {"Configuration", configuration ? "on" : "off"}};
    }
    THttpReply Call(const std::string& method, const std::string& path, const std::string& body = "") {
        return Http({method, "http://127.0.0.1:" + std::to_string(Port) + path, {"Content-Type: application/json"},
                     body, "admin:s3cret"});
    }
    TJson Status() { return TJson::parse(Call("GET", "/ws/status").Body)["Slots"][0]; }
    double PeakLeft() {
        const TJson peak = Status()["PeakDBFS"][0];
        return peak.is_number() ? peak.get<double>() : -1000; // null: silence
    }

    TTempDir Dir;
    const std::string Folder = Dir.File("rec");
    const std::filesystem::path Ini = Dir.Path() / "RudazOdudad.ini";
    const int Port = FreePort();
};

} // namespace

TEST_F(TWebSettingsTest, AnOperatorChangesInputFormatNameAndSlotsAndAKillRightAfterwardsKeepsThem) {
    TIcyServer radio(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    WriteSettings(Web(true));
    TLoggerProgram program(Dir.Path().string());
    ASSERT_TRUE(program.WaitForLog("Web server started", std::chrono::seconds(10))) << program.Log();
    ASSERT_TRUE(program.WaitForLog("Encoding to file", std::chrono::seconds(10))) << program.Log();

    const THttpReply read = Call("GET", "/ws/slot/0/settings");
    ASSERT_EQ(read.Status, 200) << read.Body;
    const TJson settings = TJson::parse(read.Body);
    EXPECT_EQ(settings["Name"], "Studio");
    EXPECT_EQ(settings["Device"], "Test: 440 Hz tone") << "the input by its name";
    EXPECT_NE(std::find(settings["Choices"]["Devices"].begin(), settings["Choices"]["Devices"].end(),
                        "Test: 440 Hz tone"),
              settings["Choices"]["Devices"].end());
    EXPECT_EQ(settings["Format"], "mp3");
    EXPECT_EQ(settings["CleanupEstimate"], "days (~481 GB)");

    // Refused values change nothing, not even the file.
    const std::string before = FileText(Ini);
    for (const auto& [body, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"Bitrate": 129})", "Bitrate 129 is not supported for mp3 at 44100 Hz: 8, 16,"},
             {R"({"Format": "ogg", "Bitrate": "128k"})", "Bitrate must be a whole number"},
             {R"({"Format": "wma"})", "Bitrate 128 is not supported for wma at 44100 Hz:"},
             {R"({"Device": "No such card"})", "There is no input named \"No such card\""},
             {R"({"CleanupDays": 0})", "CleanupDays 0 is out of range: 1 to 32767"},
             {"Format=ogg", "Send a JSON object"}}) {
        const THttpReply refused = Call("POST", "/ws/slot/0/settings", body);
        EXPECT_EQ(refused.Status, 400) << body;
        EXPECT_NE(refused.Body.find(reason), std::string::npos) << body << ": " << refused.Body;
    }
    EXPECT_EQ(FileText(Ini), before);

    // A new format: a new file in it, and the old row gets its duration.
    const THttpReply toOgg = Call("POST", "/ws/slot/0/settings", R"({"Format": "ogg"})");
    ASSERT_EQ(toOgg.Status, 200) << toOgg.Body;
    EXPECT_EQ(TJson::parse(toOgg.Body)["Message"], "Applied: a new file begins. Written to the settings file.");
    ASSERT_TRUE(program.WaitForLog(".ogg", std::chrono::seconds(10))) << program.Log();
    {
        TCatalogue db(Folder + "/RudazOdudad.db");
        auto rows = db.Prepare("SELECT duration, filename FROM recordings ORDER BY id");
        ASSERT_TRUE(rows.Step());
        ASSERT_FALSE(rows.ColumnIsNull(0)) << "the mp3 row was completed";
        EXPECT_NEAR(rows.ColumnDouble(0), ProbeAudio(Folder + "/" + rows.ColumnText(1)).Duration, 0.1);
        EXPECT_TRUE(rows.ColumnText(1).ends_with(".mp3"));
        ASSERT_TRUE(rows.Step());
        EXPECT_TRUE(rows.ColumnText(1).ends_with(".ogg"));
    }

    // From the sound card to a stream: the tone (-6 dBFS) gives way to the stream's sine (-18 dBFS).
    ASSERT_TRUE(WaitUntil([&] { return PeakLeft() > -8; }, 5));
    const std::string url = radio.Url("/stream");
    const THttpReply toStream =
        Call("POST", "/ws/slot/0/settings", TJson{{"Source", "Stream"}, {"StreamURL", url}}.dump());
    ASSERT_EQ(toStream.Status, 200) << toStream.Body;
    EXPECT_EQ(TJson::parse(toStream.Body)["Message"], "Applied: the input restarts. Written to the settings file.");
    ASSERT_TRUE(WaitUntil([&] { return Status()["State"] == "recording" && PeakLeft() < -15 && PeakLeft() > -21; }, 15))
        << Status().dump() << program.Log();
    EXPECT_EQ(Call("GET", "/ws/slot/0/source").Body, url);

    // The number of slots waits for the next start.
    const THttpReply slots = Call("POST", "/ws/settings", R"({"Slots": 3})");
    ASSERT_EQ(slots.Status, 200) << slots.Body;
    EXPECT_EQ(TJson::parse(slots.Body)["Message"], "Saved. The program has 3 slots from its next start.");
    EXPECT_EQ(Call("POST", "/ws/settings", R"({"Slots": 256})").Status, 400);

    // Killed the moment the answer came: the file already holds the change.
    ASSERT_EQ(Call("POST", "/ws/slot/0/settings", R"({"Name": "Studio Nine"})").Status, 200);
    EXPECT_EQ(program.Stop(SIGKILL), 128 + SIGKILL);
    {
        TSettingsStore after(Ini);
        EXPECT_EQ(after.ReadString("Slot0", "Name", ""), "Studio Nine");
        EXPECT_EQ(after.ReadString("Slot0", "Source", ""), "Stream");
        EXPECT_EQ(after.ReadString("Slot0", "StreamURL", ""), url);
        EXPECT_EQ(after.ReadString("Slot0", "Format", ""), "ogg");
        EXPECT_EQ(after.ReadString("General", "Slots", ""), "3");
    }
    const std::string log = program.Log();
    EXPECT_NE(log.find("Settings of slot 1 changed from the web by admin at 127.0.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find("Number of slots set to 3 from the web by admin at 127.0.0.1"), std::string::npos) << log;

    // Without the key, or without a user, the settings stay closed, and the start found three slots.
    for (const auto& web : {Web(false), Web(true, "")}) {
        TSettingsStore(Ini).WriteSection("Webserver", web);
        TLoggerProgram again(Dir.Path().string());
        ASSERT_TRUE(again.WaitForLog("Web server started", std::chrono::seconds(10))) << again.Log();
        EXPECT_EQ(TJson::parse(Call("GET", "/ws/slots").Body).size(), 3u);
        const std::string kept = FileText(Ini);
        for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
                 {"GET", "/ws/slot/0/settings"}, {"POST", "/ws/slot/0/settings"}, {"POST", "/ws/settings"}}) {
            const THttpReply closed = Call(method, path, R"({"Name": "Intruder", "Slots": 1})");
            EXPECT_EQ(closed.Status, 403) << method << " " << path;
            EXPECT_EQ(closed.Body, "Settings from the web are off: they need [Webserver] Configuration=on and a user.");
        }
        EXPECT_EQ(FileText(Ini), kept);
        EXPECT_EQ(again.Stop(SIGTERM), 0);
    }
}

TEST_F(TWebSettingsTest, TwoInputsOfOneNameKeepTheirDevicesAndAnAmbiguousNameIsRefused) {
    TPulseServer pulse;
    ASSERT_EQ(pulse.Pactl("load-module module-sine-source frequency=440 source_name=sine2").ExitCode, 0);
    ASSERT_EQ(pulse.SourceDescription("sine2"), pulse.SourceDescription("sine")) << "two identical interfaces";
    const std::string name = "WASAPI: " + pulse.SourceDescription("sine");
    {
        TSettingsStore ini(Ini);
        ini.WriteString("General", "Slots", "1");
        ini.WriteSection("Webserver", Web(true));
        ini.WriteSection("Slot0",
                         {{"Name", "Studio"}, {"Folder", Folder}, {"Source", "Soundcard"}, {"Device", "WASAPI:sine2"}});
    }
    // The sources the program records from, by name.
    const auto recorded = [&] {
        std::map<std::string, std::string> names; // index -> name
        std::istringstream sources(pulse.Pactl("list short sources").Output);
        for (std::string line; std::getline(sources, line);) {
            std::istringstream fields(line);
            std::string index, source;
            fields >> index >> source;
            names[index] = source;
        }
        std::set<std::string> used;
        for (const std::string& line : pulse.SourceOutputs()) {
            std::istringstream fields(line);
            std::string output, source;
            fields >> output >> source;
            used.insert(names[source]);
        }
        return used;
    };
    TLoggerProgram program(Dir.Path().string(),
                           {{"PULSE_SERVER", "unix:" + (pulse.RuntimeDir() / "pulse" / "native").string()}});
    ASSERT_TRUE(program.WaitForLog("Web server started", std::chrono::seconds(10))) << program.Log();
    ASSERT_TRUE(program.WaitForLog("Encoding to file", std::chrono::seconds(10))) << program.Log();
    ASSERT_TRUE(WaitUntil([&] { return recorded() == std::set<std::string>{"sine2"}; }, 10)) << program.Log();

    const THttpReply read = Call("GET", "/ws/slot/0/settings");
    ASSERT_EQ(read.Status, 200) << read.Body;
    TJson settings = TJson::parse(read.Body);
    EXPECT_EQ(settings["Device"], name);
    EXPECT_EQ(settings["DeviceID"], "WASAPI:sine2");
    const TJson& names = settings["Choices"]["Devices"];
    const TJson& ids = settings["Choices"]["DeviceIDs"];
    ASSERT_EQ(names.size(), ids.size());
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 2) << names.dump();

    // What a GET gave, sent back with a new name, keeps the input.
    settings["Name"] = "Studio Two";
    const THttpReply renamed = Call("POST", "/ws/slot/0/settings", settings.dump());
    ASSERT_EQ(renamed.Status, 200) << renamed.Body;
    EXPECT_EQ(TJson::parse(renamed.Body)["Message"], "Applied. Written to the settings file.");
    EXPECT_EQ(TJson::parse(renamed.Body)["DeviceID"], "WASAPI:sine2");
    {
        TSettingsStore file(Ini);
        EXPECT_EQ(file.ReadString("Slot0", "Name", ""), "Studio Two");
        EXPECT_EQ(file.ReadString("Slot0", "Device", ""), "WASAPI:sine2");
    }

    // A name two inputs share says nothing: refused, and nothing changes.
    const std::string before = FileText(Ini);
    const THttpReply ambiguous = Call("POST", "/ws/slot/0/settings", TJson{{"Device", name}}.dump());
    EXPECT_EQ(ambiguous.Status, 400);
    EXPECT_EQ(ambiguous.Body, "Several inputs are named \"" + name +
                                  "\": send DeviceID with one of WASAPI:sine, WASAPI:sine2");
    EXPECT_EQ(FileText(Ini), before);

    // The ID moves the slot, and the answer says the input restarts.
    const THttpReply moved = Call("POST", "/ws/slot/0/settings", R"({"DeviceID": "WASAPI:sine"})");
    ASSERT_EQ(moved.Status, 200) << moved.Body;
    EXPECT_EQ(TJson::parse(moved.Body)["Message"], "Applied: the input restarts. Written to the settings file.");
    EXPECT_EQ(TSettingsStore(Ini).ReadString("Slot0", "Device", ""), "WASAPI:sine");
    EXPECT_TRUE(WaitUntil([&] { return recorded().count("sine") == 1; }, 10)) << program.Log();
    EXPECT_EQ(program.Stop(SIGTERM), 0) << program.Log();
}

TEST_F(TWebSettingsTest, TheWebCannotSetControlCharactersForeignFoldersOrEncoderOptionsAndTheLogSaysWhatChanged) {
    const std::string roots = Dir.Path().string();
    auto web = Web(true);
    web.emplace_back("FolderRoots", roots);
    WriteSettings(web);
    TLoggerProgram program(Dir.Path().string());
    ASSERT_TRUE(program.WaitForLog("Web server started", std::chrono::seconds(10))) << program.Log();

    const std::string before = FileText(Ini);
    const std::string idle = Dir.File("idle");
    for (const auto& [body, status, reason] : std::vector<std::tuple<TJson, int, std::string>>{
             {{{"Folder", "<img src=x onerror=alert(1)>"}}, 400, "Folder must be an absolute path"},
             {{{"Folder", Folder + std::string("\0x", 2)}}, 400, "Folder must not contain control characters"},
             {{{"Name", "Studio\n2024-01-01 00:00:00 Web server stopped"}}, 400, "Name must not contain control"},
             {{{"StreamURL", "http://radio.example/\r\nX: y"}}, 400, "StreamURL must not contain control"},
             {{{"Folder", "/etc/rudaz"}}, 400, "Folder must lie inside one of the folders set in"},
             {{{"Folder", roots + "/../elsewhere"}}, 400, "Folder must not contain \"..\""},
             {{{"Folder", idle}}, 400, "Folder overlaps the folder of slot \"Slot 2\""},
             {{{"Folder", idle + "/inner"}}, 400, "Folder overlaps the folder of slot \"Slot 2\""},
             {{{"Folder", Folder}, {"EncoderOptions", "--pipe-to /tmp/x"}}, 403, "EncoderOptions cannot be changed"}}) {
        const THttpReply refused = Call("POST", "/ws/slot/0/settings", body.dump());
        EXPECT_EQ(refused.Status, status) << body.dump();
        EXPECT_EQ(refused.Header("content-type"), "text/plain; charset=utf-8") << body.dump();
        EXPECT_NE(refused.Body.find(reason), std::string::npos) << body.dump() << ": " << refused.Body;
    }
    EXPECT_EQ(FileText(Ini), before) << "nothing written";

    // A folder of its own inside the roots, an unchanged EncoderOptions sent back: taken, and logged key by key.
    const std::string moved = Dir.File("studio-b");
    const THttpReply taken = Call("POST", "/ws/slot/0/settings",
                                  TJson{{"Folder", moved}, {"Bitrate", 192}, {"EncoderOptions", ""}}.dump());
    ASSERT_EQ(taken.Status, 200) << taken.Body;
    EXPECT_EQ(TSettingsStore(Ini).ReadString("Slot0", "Folder", ""), moved);
    EXPECT_TRUE(program.WaitForLog("Settings of slot 1 changed from the web by admin at 127.0.0.1: Folder '" + Folder +
                                       "' -> '" + moved + "', Bitrate 128 -> 192",
                                   std::chrono::seconds(10)))
        << program.Log();

    // Moved into a folder whose catalogue holds rows: not cleaned until the user confirms it.
    const std::string archive = Dir.File("archive");
    std::filesystem::create_directories(archive);
    std::ofstream(archive + "/old.mp3") << "audio";
    {
        TCatalogue db(archive + "/RudazOdudad.db");
        db.Execute("INSERT INTO recordings (starttime, duration, filename) VALUES ('2001-01-01 00:00:00', 3600, "
                   "'old.mp3')");
    }
    const THttpReply toArchive = Call("POST", "/ws/slot/1/settings", TJson{{"Folder", archive}}.dump());
    ASSERT_EQ(toArchive.Status, 200) << toArchive.Body;
    EXPECT_EQ(TJson::parse(toArchive.Body)["CleanupConfirmed"], false);
    EXPECT_EQ(TSettingsStore(Ini).ReadString("Slot1", "CleanupConfirmed", ""), "off");
    EXPECT_EQ(program.Stop(SIGTERM), 0) << program.Log();
    EXPECT_NE(program.Log().find("Settings of slot 2 changed from the web by admin at 127.0.0.1: Folder '" + idle +
                                 "' -> '" + archive + "'"),
              std::string::npos)
        << program.Log();

    // The start's cleanup leaves the archive alone; once confirmed, the next one cleans it.
    TLoggerProgram waiting(Dir.Path().string());
    ASSERT_TRUE(waiting.WaitForLog("Cleanup skipped", std::chrono::seconds(15))) << waiting.Log();
    EXPECT_TRUE(std::filesystem::exists(archive + "/old.mp3"));
    const THttpReply confirmed = Call("POST", "/ws/slot/1/settings", R"({"CleanupConfirmed": true})");
    ASSERT_EQ(confirmed.Status, 200) << confirmed.Body;
    EXPECT_EQ(waiting.Stop(SIGTERM), 0) << waiting.Log();
    EXPECT_TRUE(std::filesystem::exists(archive + "/old.mp3"));
    TLoggerProgram cleaning(Dir.Path().string());
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(archive + "/old.mp3"); }, 15)) << cleaning.Log();
    EXPECT_EQ(cleaning.Stop(SIGTERM), 0) << cleaning.Log();
}
