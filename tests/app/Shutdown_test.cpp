// The real program, stopped the way a service manager or Ctrl-C stops it.
#include "BindMount.h"
#include "Catalogue.h"
#include "ChildProgram.h"
#include "Controller.h"
#include "LoggerProgram.h"
#include "SettingsStore.h"
#include "SlotServices.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace TestSupport;

using TProgram = TLoggerProgram;

TEST(Shutdown, ASignalFinishesEveryFileAndWritesTheSettings) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TTempDir dir;
        const std::string mp3 = dir.File("mp3");
        const std::string ogg = dir.File("ogg");
        {
            TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
            ini.WriteString("General", "Slots", "3");
            ini.WriteSection("Slot0", {{"Folder", mp3}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
            ini.WriteSection("Slot1", {{"Folder", ogg}, {"Source", "Soundcard"}, {"Device", "test:0"}, {"Format", "ogg"}});
            ini.WriteSection("Slot2", {{"Folder", dir.File("idle")}});
        }
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + ogg, std::chrono::seconds(10))) << program.Log();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        ASSERT_EQ(program.Stop(signal), 0) << "signal " << signal << "\n" << program.Log();

        for (const auto& folder : {mp3, ogg}) {
            TCatalogue db(folder + "/RudazOdudad.db");
            auto rows = db.Prepare("SELECT duration, filename FROM recordings");
            ASSERT_TRUE(rows.Step()) << folder;
            ASSERT_FALSE(rows.ColumnIsNull(0)) << "the duration was stored";
            const double stored = rows.ColumnDouble(0);
            EXPECT_GT(stored, 1.5);
            const auto probe = ProbeAudio(folder + "/" + rows.ColumnText(1));
            EXPECT_NEAR(probe.Duration, stored, 0.1) << "the file is complete";
            EXPECT_FALSE(rows.Step());
        }
        TSettingsStore after(dir.Path() / "RudazOdudad.ini");
        EXPECT_EQ(after.ReadString("General", "Slots", ""), "3");
        for (int slot = 0; slot < 3; ++slot) {
            const std::string section = "Slot" + std::to_string(slot);
            for (const char* key : {"Enabled", "Name", "Folder", "FlatFilenames", "NoAutoRotate", "Source", "Device",
                                    "NominalLevel", "StreamURL", "RecordDelay", "Format", "Bitrate", "Samplerate",
                                    "Mode", "EncoderOptions", "CleanupDaysEnabled", "CleanupDays",
                                    "CleanupSpaceEnabled", "CleanupSpace"}) {
                EXPECT_TRUE(after.KeyExists(section, key)) << section << "/" << key;
            }
        }
        EXPECT_EQ(after.ReadString("Slot1", "Device", ""), "test:0");
    }
}

TEST(Shutdown, EncodersThatStopReadingAreEndedTogetherByOneDeadline) {
    TTempDir dir;
    // A lame that takes a second of audio, finishes that file, then neither
    // reads nor ends: the program finds it on its PATH.
    const std::string bin = dir.File("bin");
    std::filesystem::create_directories(bin);
    {
        std::string lame = RunCommand("command -v lame").Output;
        lame.erase(lame.find_last_not_of("\n") + 1);
        std::ofstream(bin + "/lame") << "#!/bin/sh\nhead -c 176400 | " << lame << " \"$@\"\nexec sleep 600\n";
    }
    std::filesystem::permissions(bin + "/lame", std::filesystem::perms::owner_all);
    constexpr int Slots = 3;
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", std::to_string(Slots));
        for (int i = 0; i < Slots; ++i) {
            ini.WriteSection("Slot" + std::to_string(i),
                             {{"Folder", dir.File("rec")}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
        }
    }
    TProgram program(dir.Path().string(), {{"PATH", bin + ":" + std::getenv("PATH")}});
    ASSERT_TRUE(program.WaitForLog("Encoding to file", std::chrono::seconds(10))) << program.Log();
    std::this_thread::sleep_for(std::chrono::seconds(3)); // they have stopped reading
    const auto stopping = std::chrono::steady_clock::now();
    ASSERT_EQ(program.Stop(SIGTERM), 0) << program.Log();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    EXPECT_LT(seconds, 10 + 3.0) << "one deadline of 10 s for all, not one a slot";
    EXPECT_GT(seconds, 9.0) << "each had its time";

    const std::string log = program.Log();
    std::size_t killed = 0;
    for (auto at = log.find("did not finish in time and was killed"); at != std::string::npos;
         at = log.find("did not finish in time and was killed", at + 1)) {
        ++killed;
    }
    EXPECT_EQ(killed, static_cast<std::size_t>(Slots)) << log;
    TCatalogue db(dir.File("rec") + "/RudazOdudad.db");
    auto rows = db.Prepare("SELECT duration, filename FROM recordings");
    int count = 0;
    for (; rows.Step(); ++count) {
        ASSERT_FALSE(rows.ColumnIsNull(0)) << rows.ColumnText(1) << ": the duration was stored";
        EXPECT_NEAR(rows.ColumnDouble(0), ProbeAudio(dir.File("rec") + "/" + rows.ColumnText(1)).Duration, 0.1)
            << "what the file holds";
    }
    EXPECT_EQ(count, Slots);
}

TEST(Headless, ATakenPortGivesNoBoxButALogLineAndRetriesAndAStopStillFinishesEverything) {
    TTempDir dir;
    const std::string folder = dir.File("rec");
    auto blocker = std::make_unique<TPortBlocker>();
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "1");
        ini.WriteSection("Webserver", {{"Enabled", "on"}, {"Port", std::to_string(blocker->Port())}});
        ini.WriteSection("Slot0", {{"Folder", folder}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    }
    {
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Error starting web server: ", std::chrono::seconds(20)))
            << program.Log();
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + folder, std::chrono::seconds(5)))
            << program.Log();
        // The port comes free: the next attempt, within half a minute, takes it.
        blocker.reset();
        ASSERT_TRUE(program.WaitForLog("Web server started", std::chrono::seconds(35))) << program.Log();
        const std::string log = program.Log();
        EXPECT_EQ(log.find("Error starting web server: "), log.rfind("Error starting web server: "))
            << "said once";
        EXPECT_EQ(program.Stop(SIGTERM), 0) << program.Log();
    }
    // Taken for good: a stop while the server waits for its port still ends everything in order.
    TPortBlocker taken;
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteSection("Webserver", {{"Enabled", "on"}, {"Port", std::to_string(taken.Port())}});
    }
    TProgram program(dir.Path().string());
    ASSERT_TRUE(program.WaitForLog("Error starting web server: ", std::chrono::seconds(20))) << program.Log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(program.Stop(SIGTERM), 0) << program.Log();
    TCatalogue db(folder + "/RudazOdudad.db");
    auto rows = db.Prepare("SELECT duration FROM recordings");
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(rows.Step()) << "a file from each run";
        EXPECT_FALSE(rows.ColumnIsNull(0)) << "the duration was stored";
    }
}

TEST(Headless, AStandardErrorWithNobodyReadingDoesNotEndTheProgram) {
    TTempDir dir;
    const std::string folder = dir.File("rec");
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "1");
        ini.WriteSection("Slot0", {{"Folder", folder}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    }
    TChildProgram program({RUDAZ_PROGRAM},
                          {{"RUDAZODUDAD_DATA_DIR", dir.Path().string()},
                           {"XDG_RUNTIME_DIR", dir.Path().string()},
                           {"RUDAZODUDAD_TEST_TONE", "440"},
                           {"QT_QPA_PLATFORM", "offscreen"}},
                          dir.File("stdout.log"), true);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_TRUE(program.Running()) << "it writes to standard error from its first moment";
    ASSERT_EQ(program.Stop(SIGTERM), 0);
    TCatalogue db(folder + "/RudazOdudad.db");
    auto rows = db.Prepare("SELECT duration FROM recordings");
    ASSERT_TRUE(rows.Step());
    EXPECT_GT(rows.ColumnDouble(0), 1.0) << "it recorded and stored the duration";
}

TEST(SingleInstance, ASecondStartEndsAtOnceWithoutTouchingItsDataFolder) {
    TTempDir dir;
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "1");
    }
    // What a crashed instance leaves behind must not keep the first start from running.
    { std::ofstream stale(dir.File("com.pelorand.rudazodudad")); }
    TProgram first(dir.Path().string());
    ASSERT_TRUE(first.WaitForLog("slots ready", std::chrono::seconds(20))) << first.Log();
    EXPECT_TRUE(std::filesystem::is_socket(dir.Path() / "com.pelorand.rudazodudad")) << "the stale file was replaced";

    const std::string otherData = dir.File("other-data");
    TChildProgram second({RUDAZ_PROGRAM},
                         {{"RUDAZODUDAD_DATA_DIR", otherData},
                          {"XDG_RUNTIME_DIR", dir.Path().string()},
                          {"QT_QPA_PLATFORM", "offscreen"}},
                         dir.File("second.log"));
    EXPECT_EQ(second.WaitForExit(std::chrono::seconds(10)), 0) << second.Log();
    EXPECT_FALSE(std::filesystem::exists(otherData)) << "the data folder was not created";
    EXPECT_EQ(second.Log().find("slots ready"), std::string::npos);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(first.Stop(SIGTERM), 0);

    // Once the first has ended, a start runs again.
    TProgram third(dir.Path().string());
    EXPECT_TRUE(third.WaitForLog("slots ready", std::chrono::seconds(20))) << third.Log();
    EXPECT_EQ(third.Stop(SIGTERM), 0);
}

namespace {

// The lines of the service unit that say how the program is run.
struct TUnit {
    std::vector<std::string> Command;
    TChildProgram::TEnvironment Environment;
    int KillSignal = SIGTERM;
};

TUnit ReadUnit(const std::string& path) {
    TUnit unit;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "ExecStart") {
            std::istringstream words(value);
            for (std::string word; words >> word;) {
                unit.Command.push_back(word);
            }
        } else if (key == "Environment") {
            const auto split = value.find('=');
            unit.Environment.emplace_back(value.substr(0, split), value.substr(split + 1));
        } else if (key == "KillSignal") {
            unit.KillSignal = value == "SIGTERM" ? SIGTERM : value == "SIGINT" ? SIGINT : value == "SIGHUP" ? SIGHUP : 0;
        }
    }
    return unit;
}

} // namespace

TEST(Service, TheUnitsCommandRunsHeadlessAndItsStopFinishesEverything) {
    TUnit unit = ReadUnit(RUDAZ_SOURCE_DIR "/packaging/rudazodudad.service");
    ASSERT_EQ(unit.Command, (std::vector<std::string>{"@RUDAZ_BINDIR@/rudazodudad", "--headless"}));
    unit.Command[0] = RUDAZ_PROGRAM;
    ASSERT_NE(unit.KillSignal, 0);

    TTempDir dir;
    const std::string folder = dir.File("rec");
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "1");
        ini.WriteSection("Webserver", {{"Enabled", "on"}, {"Port", "0"}});
        ini.WriteSection("Slot0", {{"Folder", folder}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    }
    // As systemd starts it: no display, nothing of a desktop session.
    auto environment = unit.Environment;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"}) {
        environment.emplace_back(name, std::nullopt);
    }
    environment.emplace_back("RUDAZODUDAD_DATA_DIR", dir.Path().string());
    environment.emplace_back("XDG_RUNTIME_DIR", dir.Path().string());
    environment.emplace_back("RUDAZODUDAD_TEST_TONE", "440");
    TChildProgram service(unit.Command, environment, dir.File("journal.log"));
    ASSERT_TRUE(service.WaitForLog("Encoding to file " + folder, std::chrono::seconds(20))) << service.Log();
    ASSERT_TRUE(service.WaitForLog("Web server started", std::chrono::seconds(5))) << service.Log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(service.Stop(unit.KillSignal), 0) << service.Log();

    TCatalogue db(folder + "/RudazOdudad.db");
    auto rows = db.Prepare("SELECT duration, filename FROM recordings");
    ASSERT_TRUE(rows.Step());
    ASSERT_FALSE(rows.ColumnIsNull(0)) << "the duration was stored";
    EXPECT_NEAR(ProbeAudio(folder + "/" + rows.ColumnText(1)).Duration, rows.ColumnDouble(0), 0.1);
    TSettingsStore after(dir.Path() / "RudazOdudad.ini");
    EXPECT_EQ(after.ReadString("Webserver", "Enabled", ""), "on") << "it starts again with the service";
    EXPECT_TRUE(after.KeyExists("Slot0", "CleanupDays")) << "the slot's settings were written";
}

TEST(Shutdown, ASlotStuckOnAHangingFolderIsLeftBehindAndTheOthersAreStored) {
    TTempDir dir;
    TBindMount hanging(dir.File("real"), dir.File("mount"), dir.File("bindfs.log"));
    ASSERT_TRUE(hanging.Mounted()) << RunCommand("cat '" + dir.File("bindfs.log") + "'").Output;
    const std::string stuck = dir.File("mount") + "/rec";
    const std::string normal = dir.File("rec");
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "3");
        ini.WriteSection("Slot0", {{"Name", "Stuck"}, {"Folder", stuck}, {"Source", "Soundcard"}, {"Device", "TEST:0"},
                                   {"Format", "wma"}, {"Bitrate", "320000"}});
        for (const char* slot : {"Slot1", "Slot2"}) {
            ini.WriteSection(slot, {{"Folder", normal}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
        }
    }
    // A server by a name nobody runs: no JACK server answers.
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    // A leak check would wait for the stuck thread, which no signal stops.
    asan += std::string(asan.empty() ? "" : ":") + "detect_leaks=0";
    TProgram program(dir.Path().string(),
                     {{"JACK_DEFAULT_SERVER", "rudaz-none-" + std::to_string(getpid())}, {"ASAN_OPTIONS", asan}});
    ASSERT_TRUE(program.WaitForLog("Encoding to file " + stuck, std::chrono::seconds(10))) << program.Log();
    ASSERT_TRUE(program.WaitForLog("Encoding to file " + normal, std::chrono::seconds(10))) << program.Log();
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the rows are in
    hanging.Hang();
    std::this_thread::sleep_for(std::chrono::seconds(2)); // its writes block now
    const auto stopping = std::chrono::steady_clock::now();
    const int status = program.Stop(SIGTERM);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    const std::string log = program.Log();
    ASSERT_EQ(status, 0) << "ended within 15 s of the signal, after " << seconds << " s\n" << log;
    EXPECT_NE(log.find(std::string("Stuck: ") + TController::AbandonedText), std::string::npos) << log;

    TCatalogue db(normal + "/RudazOdudad.db");
    auto rows = db.Prepare("SELECT duration, filename FROM recordings");
    int count = 0;
    for (; rows.Step(); ++count) {
        ASSERT_FALSE(rows.ColumnIsNull(0)) << rows.ColumnText(1) << ": the duration was stored\n" << log;
        EXPECT_GT(rows.ColumnDouble(0), 2.0);
        EXPECT_NEAR(rows.ColumnDouble(0), ProbeAudio(normal + "/" + rows.ColumnText(1)).Duration, 0.1);
    }
    EXPECT_EQ(count, 2);
    TSettingsStore after(dir.Path() / "RudazOdudad.ini");
    for (const char* section : {"Slot0", "Slot1", "Slot2"}) {
        EXPECT_TRUE(after.KeyExists(section, "CleanupSpaceEnabled")) << section << " was written";
    }
    EXPECT_EQ(after.ReadString("Slot0", "Format", ""), "wma");

    // The start without a JACK server said so once, in its own words.
    const std::string none = "No JACK server: JACK inputs are not listed";
    EXPECT_NE(log.find(none), std::string::npos) << log;
    EXPECT_EQ(log.find(none), log.rfind(none)) << log;
    for (const char* libjack : {"Cannot connect to server", "jack server is not running", "JackShm"}) {
        EXPECT_EQ(log.find(libjack), std::string::npos) << libjack << "\n" << log;
    }
}

namespace {

// Every recording file below `folder` with its row, and no row without its file.
void ExpectEveryFileHasItsRow(const std::string& folder) {
    TCatalogue db(folder + "/RudazOdudad.db");
    std::map<std::string, double> rows;
    for (auto query = db.Prepare("SELECT filename, duration FROM recordings"); query.Step();) {
        EXPECT_FALSE(query.ColumnIsNull(1)) << query.ColumnText(0) << ": the duration was stored";
        EXPECT_TRUE(rows.emplace(query.ColumnText(0), query.ColumnDouble(1)).second) << "one row a file";
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().extension() != ".mp3") {
            continue;
        }
        ++files;
        const std::string relative = std::filesystem::relative(entry.path(), folder).string();
        const auto row = rows.find(relative);
        ASSERT_NE(row, rows.end()) << relative << " has no row";
        EXPECT_NEAR(ProbeAudio(entry.path().string()).Duration, row->second, 0.1) << relative;
    }
    EXPECT_EQ(files, rows.size());
}

// While the catalogue is held, every statement of the tick waits out its lock
// first, and the signal is taken between ticks: a stop may take longer.
int StopHeld(TProgram& program) {
    const int status = program.Stop(SIGTERM);
    return status != -1 ? status : program.WaitForExit(std::chrono::seconds(60)).value_or(-1);
}

} // namespace

TEST(Shutdown, RowsAndEventsACatalogueHeldElsewhereRefusesAreWrittenAtTheNextStart) {
    TTempDir dir;
    const std::string folder = dir.File("rec");
    const std::string journal = folder + "/RudazOdudad.pending";
    {
        TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "1");
        // No disk is this large: the alarm and its event come at once.
        ini.WriteSection("Alarms", {{"MinFreeGB", "100000000"}});
        ini.WriteSection("Slot0", {{"Folder", folder}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    }
    std::filesystem::create_directories(folder);
    // Another program holds the catalogue for the whole first run: the file
    // gets no row and the alarm no event.
    auto holder = std::make_unique<TCatalogue>(folder + "/RudazOdudad.db");
    holder->Execute("BEGIN EXCLUSIVE");
    {
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Low disk space since", std::chrono::seconds(30))) << program.Log();
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + folder, std::chrono::seconds(10))) << program.Log();
        ASSERT_EQ(StopHeld(program), 0) << program.Log();
        EXPECT_NE(program.Log().find("Error updating database: database is locked"), std::string::npos)
            << program.Log();
    }
    ASSERT_TRUE(std::filesystem::exists(journal)) << "kept for the next start";
    holder.reset();

    // The second run writes them at its start, and is held at its stop with
    // a file whose row is in and whose duration is not.
    {
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + folder, std::chrono::seconds(20))) << program.Log();
        ASSERT_TRUE(program.WaitForLog("Low disk space since", std::chrono::seconds(20))) << program.Log();
        ASSERT_TRUE(WaitUntil(
            [&] {
                TCatalogue db(folder + "/RudazOdudad.db");
                auto count = db.Prepare("SELECT COUNT(*) FROM recordings");
                return count.Step() && count.ColumnInt64(0) == 2;
            },
            20))
            << program.Log();
        EXPECT_FALSE(std::filesystem::exists(journal)) << "written and gone";
        EXPECT_EQ(program.Log().find("without a row"), std::string::npos) << "the journal's row, not a guess";
        holder = std::make_unique<TCatalogue>(folder + "/RudazOdudad.db");
        holder->Execute("BEGIN EXCLUSIVE");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_EQ(StopHeld(program), 0) << program.Log();
    }
    ASSERT_TRUE(std::filesystem::exists(journal));
    holder.reset();

    // A recording that never got a row (a crash before its insert) is found at the start.
    const auto earlier = std::chrono::system_clock::now() - std::chrono::hours(3);
    const std::string name = FormatTime(ToLocalTime(earlier), "%Y/%m/%d/%Y-%m-%d-%H-%M-%S.mp3");
    std::filesystem::create_directories(std::filesystem::path(folder + "/" + name).parent_path());
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=3 -ac 2 -c:a libmp3lame -b:a 128k '" +
                         folder + "/" + name + "'")
                  .ExitCode,
              0);
    {
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + folder, std::chrono::seconds(20))) << program.Log();
        ASSERT_TRUE(program.WaitForLog("Low disk space since", std::chrono::seconds(20))) << program.Log();
        const std::string log = program.Log();
        EXPECT_NE(log.find("Added the recording without a row " + folder + "/" + name), std::string::npos) << log;
        EXPECT_EQ(log.find("without a row"), log.rfind("without a row")) << "that one only";
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_EQ(program.Stop(SIGTERM), 0) << program.Log();
    }
    EXPECT_FALSE(std::filesystem::exists(journal));
    ExpectEveryFileHasItsRow(folder);
    TCatalogue db(folder + "/RudazOdudad.db");
    auto found = db.Prepare("SELECT starttime, duration FROM recordings WHERE filename=?");
    ASSERT_TRUE(found.Bind(1, name).Step());
    EXPECT_EQ(found.ColumnText(0), FormatTime(ToLocalTime(earlier), "%Y-%m-%d %H:%M:%S")) << "the time of its name";
    EXPECT_NEAR(found.ColumnDouble(1), 3.0, 0.1) << "what it holds";
    int events = 0;
    for (auto query = db.Prepare("SELECT kind, endtime, id FROM events"); query.Step(); ++events) {
        EXPECT_EQ(query.ColumnText(0), "low_disk");
        EXPECT_FALSE(query.ColumnIsNull(1)) << "event " << query.ColumnInt64(2) << ": each run's alarm ended where it stopped watching";
    }
    EXPECT_EQ(events, 3) << "one event a run";
}
