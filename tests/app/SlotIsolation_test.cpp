// One slot in trouble holds up nobody else: a folder that hangs (a bindfs mount
// whose daemon is stopped) and an encoder that stops reading, while the other
// slots rotate, raise their alarms, and the web service answers.
#include "AlarmsFixture.h"
#include "BindMount.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace TestSupport;
using json = nlohmann::json;
using TClock = std::chrono::steady_clock;

namespace {

double SecondsSince(TClock::time_point start) { return std::chrono::duration<double>(TClock::now() - start).count(); }

// PATH with a folder in front while it lives.
class TPathInFront {
public:
    explicit TPathInFront(const std::string& folder) : FOld(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "") {
        setenv("PATH", (folder + ":" + FOld).c_str(), 1);
    }
    ~TPathInFront() { setenv("PATH", FOld.c_str(), 1); }

private:
    std::string FOld;
};

} // namespace

TEST_F(TAlarmsTest, AFolderThatHangsHoldsUpItsSlotAloneAndIsAnAlarm) {
    TBindMount mount(Folder("real"), Folder("mnt"), Dir.File("bindfs.log"));
    if (!mount.Mounted()) {
        GTEST_SKIP() << "bindfs could not mount (no FUSE here)";
    }
    Settings.WriteSection("Alarms", {{"Command", HookScript()}});
    RealFreeSpace = true;
    // The fake clock lies years back: age cleanup would take every file.
    Build(3, {{{"Name", "Hung"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder("mnt") + "/hung"},
               {"CleanupDaysEnabled", "off"}},
              {{"Name", "Tone"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"CleanupDaysEnabled", "off"}},
              {{"Name", "Lost"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}, {"CleanupDaysEnabled", "off"}}});
    Start();
    Controller->TickWait = std::chrono::seconds(1); // as the program runs
    for (auto& slot : Controller->Slots()) {
        slot->RetryTimes.FreeSpaceCheckMs = 200;
    }
    ASSERT_TRUE(TickUntil([&] { return Slot(0).BytesProcessed() > 0 && Slot(1).BytesProcessed() > 0; }, 10));

    mount.Hang();
    Flaky->RefuseOpen = true;
    Flaky->Lose();
    double slowestTick = 0, slowestStatus = 0;
    // The other slots go on: the lost input is told, and a new hour rotates them.
    const auto watched = TickUntil(
        [&] {
            const auto asked = TClock::now();
            const THttpReply reply = Fetch("/ws/status");
            slowestStatus = std::max(slowestStatus, SecondsSince(asked));
            EXPECT_EQ(reply.Status, 200);
            const auto tick = TClock::now();
            Controller->timTimerTimer();
            slowestTick = std::max(slowestTick, SecondsSince(tick));
            return Said("Lost: Input lost since") && Said("Hung: Folder not answering since");
        },
        30);
    ASSERT_TRUE(watched) << "the hung folder held up the others, or was never told";
    EXPECT_TRUE(Said("Hung: Folder not answering since") && Said(Folder("mnt") + "/hung"));
    System.Advance(std::chrono::hours(1));
    ASSERT_TRUE(TickUntil([&] { return Rows(SlotFolder(1)).size() == 2; }, 10))
        << "the hour did not rotate the others";
    EXPECT_TRUE(Rows(SlotFolder(1))[0].Duration.has_value());
    const auto asked = TClock::now();
    const json status = json::parse(Fetch("/ws/status").Body);
    slowestStatus = std::max(slowestStatus, SecondsSince(asked));
    // Bounds far above what each takes, far below the hang they would wait out otherwise.
    EXPECT_LT(slowestTick, 5.0);
    EXPECT_LT(slowestStatus, 3.0);
    bool listed = false;
    for (const auto& alarm : status["Slots"][0]["Alarms"]) {
        listed = listed || alarm["Kind"] == "folder_not_answering";
    }
    EXPECT_TRUE(listed) << status.dump();
    EXPECT_EQ(Metric(Fetch("/metrics").Body,
                     "rudazodudad_alarm_active{slot=\"0\",name=\"Hung\",kind=\"folder_not_answering\"}"),
              "1");

    mount.Answer();
    ASSERT_TRUE(TickUntil([&] { return Said("Hung: Folder not answering ended after"); }, 20));
    ASSERT_TRUE(TickUntil([&] { return !Events(Folder("mnt") + "/hung").empty(); }, 10));
    const auto events = Events(Folder("mnt") + "/hung");
    EXPECT_EQ(events[0].Kind, "folder_not_answering");
    EXPECT_TRUE(events[0].Ended);
    ASSERT_TRUE(TickUntil([&] { return HookRuns().size() >= 2; }, 5));
    bool raised = false;
    for (const auto& run : HookRuns()) {
        raised = raised || run.starts_with("folder_not_answering|raise|0|Hung|");
    }
    EXPECT_TRUE(raised);
    Server.reset();
    Controller.reset(); // while the mount is there to finish its files on
}

TEST_F(TAlarmsTest, AnEncoderThatStopsReadingHoldsUpNeitherTheOtherSlotsNorTheWeb) {
    // lame for every slot, but for files under a "stall" folder one that takes
    // a second of audio and then neither reads nor ends.
    std::filesystem::create_directories(Dir.File("bin"));
    const std::string lame = Dir.File("bin/lame");
    std::ofstream(lame) << "#!/bin/sh\ncase \"$*\" in *stall*) head -c 176400 > /dev/null; exec sleep 1000;; esac\n"
                           "exec /usr/bin/lame \"$@\"\n";
    std::filesystem::permissions(lame, std::filesystem::perms::owner_all);
    const TPathInFront path(Dir.File("bin"));
    std::vector<TKeys> sections{{{"Name", "Stall"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder("stall")}}};
    for (int i = 1; i < 11; ++i) {
        sections.push_back({{"Name", "Tone " + std::to_string(i)}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    }
    sections.push_back({{"Name", "Lost"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}});
    Build(12, sections);
    Start();
    Controller->TickWait = std::chrono::seconds(1); // as the program runs
    Slot(0).RetryTimes.StalledFileSeconds = 2;
    Slot(0).RetryTimes.EncoderRetryMs = 0;

    double slowestStatus = 0, slowestTick = 0;
    std::optional<TClock::time_point> lostAt;
    std::optional<double> toldAfter;
    const auto watch = [&] {
        const auto asked = TClock::now();
        EXPECT_EQ(Fetch("/ws/status").Status, 200);
        slowestStatus = std::max(slowestStatus, SecondsSince(asked));
        const auto tick = TClock::now();
        Controller->timTimerTimer();
        slowestTick = std::max(slowestTick, SecondsSince(tick));
        if (!lostAt && Said("Stall: Encoder error: the file stopped growing")) {
            // Its replacement now waits for the old encoder, which never ends by itself.
            lostAt = TClock::now();
            Flaky->RefuseOpen = true;
            Flaky->Lose();
        }
        if (lostAt && !toldAfter && Said("Lost: Input lost since")) {
            toldAfter = SecondsSince(*lostAt);
        }
        // Until the old encoder was killed at its limit.
        return lostAt && SecondsSince(*lostAt) > 12;
    };
    ASSERT_TRUE(TickUntil(watch, 60)) << "the stall was never noticed";
    ASSERT_TRUE(toldAfter.has_value()) << "the lost input was never told";
    // Each far above what it takes, far below the ten seconds the old encoder is waited for.
    EXPECT_LT(*toldAfter, 4.0);
    EXPECT_LT(slowestStatus, 2.0);
    EXPECT_LT(slowestTick, 3.0);
    for (int i = 1; i < 11; ++i) {
        EXPECT_GT(Slot(i).CurrentDuration(), 10.0f) << "slot " << i << " recorded all along";
    }
}
