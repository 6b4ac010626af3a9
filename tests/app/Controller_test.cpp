#include "Controller.h"
#include "SlotFixture.h"
#include "SlotStatus.h"
#include "basserrors.h"

#include <filesystem>
#include <fstream>
#include <thread>

using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

class TControllerTest : public TSlotFixture {
protected:
    void Slot(int index, std::vector<std::pair<std::string, std::string>> keys) {
        keys.insert(keys.begin(), {{"Name", "S" + std::to_string(index + 1)},
                                   {"Folder", Folder("s" + std::to_string(index + 1))},
                                   {"Source", "Soundcard"},
                                   {"Device", "TEST:0"},
                                   // The fake clock lies years back: age cleanup would take every file.
                                   {"CleanupDaysEnabled", "off"}});
        Settings.WriteSection("Slot" + std::to_string(index), keys);
    }

    std::unique_ptr<TController> Make(int n, TSlotServices services) {
        auto c = std::make_unique<TController>(Settings, Devices, n, std::move(services),
                                               [this](TController::TLogKind, const std::string& line) {
                                                   Logged.push_back(line);
                                               });
        c->TickWait = std::chrono::seconds(30); // each tick's work done before the test looks
        return c;
    }
    std::unique_ptr<TController> Make(int n) { return Make(n, System.Services(Dir.File("Music"))); }

    std::size_t Files(int index) { return Rows(Folder("s" + std::to_string(index + 1))).size(); }
    // A tick, then time for a pull, so that a file it opened holds audio (one without keeps no row).
    void Tick(TController& c) {
        c.timTimerTimer();
        WaitSeconds(0.15);
    }
};

} // namespace

TEST_F(TControllerTest, TheFirstTickOpensAFileInEverySlotThatShouldRecord) {
    Slot(0, {});
    Slot(1, {{"NoAutoRotate", "on"}});
    Slot(2, {{"Enabled", "off"}});
    Slot(3, {{"Source", "None"}});
    auto c = Make(4);
    ASSERT_EQ(c->Slots().size(), 4u);
    for (const auto& slot : c->Slots()) {
        EXPECT_FALSE(slot->HasEncoder()) << "start-up opens no file";
    }
    c->timTimerTimer();
    EXPECT_TRUE(c->Slots()[0]->HasEncoder());
    EXPECT_FALSE(c->Slots()[1]->HasEncoder()) << "no automatic file without rotation";
    EXPECT_FALSE(c->Slots()[2]->HasEncoder());
    EXPECT_FALSE(c->Slots()[3]->HasEncoder());
    c->SetRecording(1, false);
    c->SetRecording(1, true);
    EXPECT_TRUE(c->Slots()[1]->HasEncoder()) << "Stop and Start give it its file";
    c->SetRecording(0, true); // already running: keeps its file
    EXPECT_EQ(Files(0), 1u);
    // The start-up lines come in index order.
    ASSERT_GE(Logged.size(), 2u);
    EXPECT_NE(Logged[0].find(": S1: Recording from Test: tone"), std::string::npos) << Logged[0];
    EXPECT_NE(Logged[1].find(": S2: Recording from Test: tone"), std::string::npos) << Logged[1];
}

TEST_F(TControllerTest, EveryChangeOfTheHourRotatesOnceForwardsBackwardsAndOverSummerTime) {
    Slot(0, {{"FlatFilenames", "on"}});
    Slot(1, {{"NoAutoRotate", "on"}});
    System.Set(TFakeSystem::Local(2011, 3, 27, 1, 0, 5)); // summer time begins at 02:00 CET
    auto c = Make(2);
    c->SetRecording(1, false);
    c->SetRecording(1, true);
    Tick(*c);
    // Changes of the minute within the hour start no file.
    System.Set(TFakeSystem::Local(2011, 3, 27, 1, 1, 5));
    Tick(*c);
    System.Set(TFakeSystem::Local(2011, 3, 27, 1, 30, 0));
    Tick(*c);
    System.Set(TFakeSystem::Local(2011, 3, 27, 1, 59, 0));
    Tick(*c);
    for (int i = 0; i < 5; ++i) {
        System.Advance(std::chrono::seconds(10));
        Tick(*c);
    }
    EXPECT_EQ(Files(0), 1u);
    System.Advance(std::chrono::seconds(10)); // 02:00 CET is 03:00 CEST
    Tick(*c);
    Tick(*c);
    EXPECT_EQ(Files(0), 2u);
    EXPECT_EQ(c->Slots()[0]->CurrentFile, Folder("s1") + "/2011-03-27-03-00-00.mp3");
    System.Advance(-std::chrono::minutes(90)); // clock set back into the hour before
    Tick(*c);
    Tick(*c);
    EXPECT_EQ(Files(0), 3u);
    EXPECT_EQ(Files(1), 1u) << "NoAutoRotate keeps its single file";

    // Summer time ends: 02:00-03:00 repeats, which is still hour 2.
    System.Set(TFakeSystem::Local(2011, 10, 30, 1, 59, 59));
    Tick(*c);
    EXPECT_EQ(Files(0), 4u);
    System.Advance(std::chrono::seconds(1));
    Tick(*c);
    EXPECT_EQ(Files(0), 5u);
    System.Advance(std::chrono::hours(1)); // 02:00:00 again, now in CET
    Tick(*c);
    EXPECT_EQ(Files(0), 5u);
    System.Advance(std::chrono::hours(1));
    Tick(*c);
    EXPECT_EQ(Files(0), 6u);
    EXPECT_EQ(c->Slots()[0]->CurrentFile, Folder("s1") + "/2011-10-30-03-00-00.mp3");
}

TEST_F(TControllerTest, PostedCommandsRunInOrderAndBadIndexesAreIgnored) {
    Slot(0, {});
    Slot(1, {});
    auto c = Make(2);
    Tick(*c);
    int buttonsUpdated = 0;
    c->OnUpdateSlotButtons = [&] { ++buttonsUpdated; };
    std::thread poster([&] {
        c->PostSlotCommand({WM_STOPSLOT, 1});
        c->PostSlotCommand({WM_STARTSLOT, 1});
        c->PostSlotCommand({WM_STOPSLOT, 0});
        c->PostSlotCommand({WM_STOPSLOT, -1});
        c->PostSlotCommand({WM_STOPSLOT, 9});
    });
    poster.join();
    c->ProcessCommands();
    EXPECT_FALSE(c->Slots()[0]->Enabled);
    EXPECT_FALSE(c->Slots()[0]->HasEncoder());
    EXPECT_TRUE(c->Slots()[1]->Enabled);
    EXPECT_TRUE(c->Slots()[1]->HasEncoder());
    EXPECT_EQ(Files(1), 2u) << "stopped, then started with a new file";
    EXPECT_EQ(buttonsUpdated, 3);
}

TEST_F(TControllerTest, LogsKeepTheNewestThousandLinesStampedWithDateAndTime) {
    Slot(0, {});
    auto c = Make(1);
    for (int i = 1; i <= 1001; ++i) {
        c->LogWebServerMessage("line " + std::to_string(i));
    }
    ASSERT_EQ(c->WebServerLog().size(), 1000u);
    EXPECT_EQ(c->WebServerLog().front(), "03/15/11 14:00:00: line 2");
    EXPECT_EQ(c->WebServerLog().back(), "03/15/11 14:00:00: line 1001");
    ASSERT_FALSE(c->SlotLog().empty());
    EXPECT_EQ(c->SlotLog().front(), "03/15/11 14:00:00: S1: Recording from Test: tone");

    // Lines posted from other threads faster than they are written: a bound, and a word on what was left out.
    for (int i = 1; i <= 1005; ++i) {
        c->PostWebServerLog("posted " + std::to_string(i));
    }
    c->ProcessCommands();
    EXPECT_EQ(c->WebServerLog()[998], "03/15/11 14:00:00: posted 1000");
    EXPECT_EQ(c->WebServerLog().back(), "03/15/11 14:00:00: 5 log lines from other threads left out");
}

TEST_F(TControllerTest, SpaceIsFreedFromTheLowestSlotFirstOneRecordingAPass) {
    // Two slots on one disk with 4 GB free; every deleted file frees 1 GB.
    std::vector<std::string> files;
    for (int s = 1; s <= 2; ++s) {
        const std::string folder = Folder("s" + std::to_string(s));
        fs::create_directories(folder);
        TCatalogue db(folder + "/RudazOdudad.db");
        for (int i = 0; i < 8; ++i) {
            const std::string name = "f" + std::to_string(i) + ".mp3";
            std::ofstream(folder + "/" + name) << "x";
            files.push_back(folder + "/" + name);
            db.Prepare("INSERT INTO recordings (starttime, filename) VALUES (datetime('now'), ?)").Bind(1, name).Run();
        }
    }
    Slot(0, {{"Enabled", "off"}, {"CleanupSpace", "5"}});
    Slot(1, {{"Enabled", "off"}, {"CleanupSpace", "10"}});
    auto services = System.Services(Dir.File("Music"));
    services.FreeSpace = [&files](const std::string&) -> std::optional<std::uint64_t> {
        std::uint64_t gone = 0;
        for (const auto& f : files) {
            gone += !fs::exists(f);
        }
        return (4 + gone) << 30;
    };
    auto c = Make(2, services);
    c->timTimerTimer();
    const auto deleted = LogsContaining(": Deleted ");
    ASSERT_EQ(deleted.size(), 6u);
    EXPECT_NE(deleted[0].find("S1: Deleted " + Folder("s1") + "/f0.mp3"), std::string::npos);
    for (int i = 1; i < 6; ++i) {
        EXPECT_NE(deleted[static_cast<std::size_t>(i)].find("S2: Deleted " + Folder("s2") + "/f" + std::to_string(i - 1)),
                  std::string::npos)
            << deleted[static_cast<std::size_t>(i)];
    }
}

namespace {

// A stage of a slot's chain that fails on its pull thread as a delay does
// when it cannot have memory.
class TFailingStage : public TBlockProcessor {
public:
    void Process(float*, std::size_t) override { throw TAudioError("Delay", BassError::Mem); }
};

} // namespace

TEST_F(TControllerTest, OneSlotsFailureDoesNotStopTheOthers) {
    std::ofstream(Dir.File("not-a-folder")) << "x";
    Slot(0, {{"Folder", Dir.File("not-a-folder/rec")}});
    Slot(1, {});
    Slot(2, {});
    auto c = Make(3);
    // Slot 3's pull thread fails at every pull: the process and the other slots go on.
    TSlotInfo& failing = *c->Slots()[2];
    const auto stage = failing.Mixer()->AddProcessor(std::make_shared<TFailingStage>(), 50);
    Tick(*c);
    for (int i = 0; i < 10; ++i) {
        Tick(*c);
    }
    EXPECT_TRUE(c->Slots()[1]->HasEncoder()) << "the second slot still rotates";
    EXPECT_GT(c->Slots()[1]->CurrentDuration(), 1.0f) << "and records";
    EXPECT_EQ(Files(1), 1u);
    EXPECT_FALSE(LogsContaining(": S1: ").empty());
    bool failureLogged = false;
    for (const auto& line : LogsContaining(": S1: ")) {
        failureLogged = failureLogged || line.find("Not a directory") != std::string::npos;
    }
    EXPECT_TRUE(failureLogged);

    const std::string fault = "Delay: memory error (BASS error 1)";
    EXPECT_EQ(LogsContaining(": S3: Recording error: " + fault).size(), 1u) << "told once, not at every pull";
    EXPECT_EQ(failing.LastError, fault);
    const TSlotStatus row = DescribeSlot(failing, GetMilliseconds());
    EXPECT_EQ(row.Line3, "Recording error: " + fault);
    EXPECT_TRUE(row.Line3Error);
    EXPECT_EQ(row.Image, TSlotStatus::TImage::Error);

    failing.Mixer()->Remove(stage);
    for (int i = 0; i < 30 && LogsContaining(": S3: Recording again").empty(); ++i) {
        Tick(*c);
    }
    EXPECT_EQ(LogsContaining(": S3: Recording again").size(), 1u);
    EXPECT_TRUE(failing.LastError.empty());
    EXPECT_EQ(DescribeSlot(failing, GetMilliseconds()).Image, TSlotStatus::TImage::Ok);
}

TEST_F(TControllerTest, TheSlotCountIsBroughtIntoItsRangeAndWrittenBack) {
    EXPECT_EQ(TController::ReadSlotCount(Settings), 4) << "absent";
    for (const auto& [stored, count] : std::vector<std::pair<std::string, int>>{
             {"0", 0}, {"12", 12}, {"255", 255}, {"256", 255}, {"-3", 0}, {"0x10", 16}, {"many", 4}}) {
        Settings.WriteString("General", "Slots", stored);
        EXPECT_EQ(TController::ReadSlotCount(Settings), count) << stored;
    }
    TController::WriteSlotCount(Settings, 7);
    EXPECT_EQ(TSettingsStore(Settings.FileName()).ReadString("General", "Slots", ""), "7");
}
