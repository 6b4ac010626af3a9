// The alarms against real inputs and outputs: a PulseAudio source that falls
// silent, a device that goes away, an encoder that fails or is held, a small
// tmpfs, an alarm hook, the web service and a Prometheus server that scrapes it.
#include "ChildProgram.h"
#include "PulseDevices.h"
#include "PulseServer.h"
#include "SlotStatus.h"
#include "AlarmsFixture.h"
#include "WebFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace TestSupport;
using json = nlohmann::json;
namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

namespace {

// A tmpfs of a few megabytes at a folder while it lives.
class TSmallDisk {
public:
    explicit TSmallDisk(const std::string& folder) : FFolder(folder) {
        fs::create_directories(folder);
        FMounted = RunCommand("mount -t tmpfs -o size=8m tmpfs '" + folder + "' 2>&1").ExitCode == 0;
    }
    ~TSmallDisk() {
        if (FMounted) {
            RunCommand("umount -l '" + FFolder + "'");
        }
    }
    bool Mounted() const { return FMounted; }
    void Grow() { RunCommand("mount -o remount,size=4g '" + FFolder + "'"); }

private:
    std::string FFolder;
    bool FMounted = false;
};

// This process's children that run `program`.
std::vector<pid_t> Children(const std::string& program) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::ifstream in(it->path() / "stat");
        std::string stat;
        std::getline(in, stat);
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2)); // state, then the parent
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid() && stat.substr(open + 1, close - open - 1) == program) {
            found.push_back(static_cast<pid_t>(std::stol(stat)));
        }
    }
    return found;
}

} // namespace

TEST_F(TAlarmsTest, SilenceOnAPulseSourceIsToldAlikeEverywhere) {
    TPulseServer pulse;
    AddPulseDevices(Devices);
    // Long enough that a clear bounded below it still tells "at once" from "after another period"
    // when the sound server's buffer is slow under the sanitizers.
    constexpr int silenceSeconds = 6;
    Settings.WriteSection("Alarms", {{"Command", HookScript()}});
    Build(1, {{{"Name", "Studio"},
               {"Source", "Soundcard"},
               {"Device", "WASAPI:sine"},
               {"SilenceAlarm", "on"},
               {"SilenceLevel", "-40"},
               {"SilenceSeconds", std::to_string(silenceSeconds)}}});
    Start();
    ASSERT_TRUE(TickUntil([&] { return Slot(0).HasEncoder() && Slot(0).BytesProcessed() > 0; }, 5));
    TickFor(1.0);
    EXPECT_FALSE(Slot(0).AlarmActive(TAlarmKind::Silence)) << "the sine is well above -40 dBFS";

    ASSERT_EQ(pulse.Pactl("set-source-mute sine 1").ExitCode, 0);
    const auto raised = TickUntil([&] { return Slot(0).AlarmActive(TAlarmKind::Silence); }, 15);
    ASSERT_TRUE(raised);
    EXPECT_GT(*raised, silenceSeconds - 1.5) << "not much before SilenceSeconds, but for the sound server's buffer";
    EXPECT_LT(*raised, silenceSeconds + 4) << "soon after SilenceSeconds";
    const auto raises = LogsContaining("Studio: Silence since ");
    ASSERT_EQ(raises.size(), 1u);
    const std::string raiseText = raises[0].substr(raises[0].find("Silence since "));

    const TSlotStatus row = DescribeSlot(Slot(0), GetMilliseconds());
    EXPECT_EQ(row.Line2, raiseText);
    EXPECT_TRUE(row.Line2Alarm && !row.Line2Error);
    EXPECT_EQ(row.Image, TSlotStatus::TImage::Error);
    EXPECT_TRUE(row.Line3IsFile) << "the file line stays";

    const json status = json::parse(Fetch("/ws/status").Body);
    const json& slot = status["Slots"][0];
    EXPECT_EQ(slot["State"], "recording") << "silence is recorded all the same";
    ASSERT_EQ(slot["Alarms"].size(), 1u);
    EXPECT_EQ(slot["Alarms"][0]["Kind"], "silence");
    EXPECT_EQ(slot["Alarms"][0]["Text"], raiseText);
    EXPECT_GE(slot["SilenceSeconds"].get<double>(), silenceSeconds);
    EXPECT_TRUE(slot["PeakDBFS"][0].is_null()) << "digital silence: minus infinity";
    EXPECT_EQ(Fetch("/ws/slots").Body.find("Silence"), std::string::npos) << "no error of the slot list";

    std::string metrics = Fetch("/metrics").Body;
    const std::string labels = "{slot=\"0\",name=\"Studio\"";
    EXPECT_EQ(Metric(metrics, "rudazodudad_alarm_active" + labels + ",kind=\"silence\"}"), "1");
    EXPECT_EQ(Metric(metrics, "rudazodudad_recording" + labels + "}"), "1");
    EXPECT_GE(std::stod(Metric(metrics, "rudazodudad_silence_seconds" + labels + "}")), silenceSeconds);
    EXPECT_EQ(Metric(metrics, "rudazodudad_peak_dbfs" + labels + ",channel=\"left\"}"), "-Inf");

    auto events = Events(SlotFolder(0));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, "silence");
    EXPECT_EQ(events[0].Text, raiseText);
    EXPECT_EQ(events[0].Start.substr(11), raiseText.substr(14)) << "the event starts when the silence did";
    EXPECT_FALSE(events[0].Ended);
    ASSERT_TRUE(TickUntil([&] { return HookRuns().size() == 1 && Said("Studio: Alarm hook: hook saw raise"); }, 5));
    EXPECT_EQ(HookRuns()[0], "silence|raise|0|Studio|" + raiseText + "|");

    ASSERT_EQ(pulse.Pactl("set-source-mute sine 0").ExitCode, 0);
    const auto cleared = TickUntil([&] { return !Slot(0).AlarmActive(TAlarmKind::Silence); }, 10);
    ASSERT_TRUE(cleared);
    EXPECT_LT(*cleared, silenceSeconds - 1) << "as soon as sound is back, but for the sound server's buffer";
    const auto ends = LogsContaining("Studio: Silence ended after 00:00:");
    ASSERT_EQ(ends.size(), 1u);
    const std::string clearText = ends[0].substr(ends[0].find("Silence ended"));
    events = Events(SlotFolder(0));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].Ended);
    EXPECT_GE(events[0].End, events[0].Start);
    EXPECT_TRUE(json::parse(Fetch("/ws/status").Body)["Slots"][0]["Alarms"].empty());
    metrics = Fetch("/metrics").Body;
    EXPECT_EQ(Metric(metrics, "rudazodudad_alarm_active" + labels + ",kind=\"silence\"}"), "0");
    EXPECT_EQ(Metric(metrics, "rudazodudad_silence_seconds" + labels + "}"), "0");
    ASSERT_TRUE(TickUntil([&] { return HookRuns().size() == 2; }, 5));
    EXPECT_EQ(HookRuns()[1], "silence|clear|0|Studio|" + clearText + "|");
}

TEST_F(TAlarmsTest, ALostInputAFailingEncoderAndALowDiskRaiseAndClear) {
    TSmallDisk small(Folder("small"));
    if (!small.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    // The flaky device delivers no audio: its slot never records, which is not this test's alarm.
    Settings.WriteSection("Alarms", {{"MinFreeGB", "1"}, {"NotRecordingSeconds", "3600"}, {"Command", HookScript()}});
    RealFreeSpace = true;
    Build(3, {{{"Name", "Lost"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}},
              {{"Name", "Broken"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"EncoderOptions", "--no-such"}},
              {{"Name", "Small"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder("small")}}});
    for (auto& slot : Controller->Slots()) {
        // Long enough that a loaded machine still sees the bad encoder die
        // before a whole retry period calls it working again.
        slot->RetryTimes.EncoderRetryMs = 1500;
        slot->RetryTimes.FreeSpaceCheckMs = 200;
    }
    ASSERT_TRUE(TickUntil([&] { return Said("Broken: Encoder failing since") && Said("Small: Low disk space since"); },
                          5));
    EXPECT_FALSE(Said("Lost: Input lost")) << "nothing wrong with the flaky device yet";

    Flaky->RefuseOpen = true;
    Flaky->Lose();
    ASSERT_TRUE(TickUntil([&] { return Said("Lost: Input lost since"); }, 5));
    Flaky->RefuseOpen = false;
    Slot(1).EncoderOptions.clear(); // mended
    small.Grow();
    ASSERT_TRUE(TickUntil([&] { return Said("Lost: Input lost ended after") && Said("Broken: Encoder failing ended after") &&
                                       Said("Small: Low disk space ended after"); },
                          10));

    const std::vector<std::pair<int, std::string>> expected{{0, "input_lost"}, {1, "encoder_failing"}, {2, "low_disk"}};
    const std::vector<std::string> names{"Lost", "Broken", "Small"};
    for (const auto& [index, kind] : expected) {
        const auto events = Events(index == 2 ? Folder("small") : SlotFolder(index));
        ASSERT_EQ(events.size(), 1u) << kind;
        EXPECT_EQ(events[0].Kind, kind);
        EXPECT_TRUE(events[0].Ended) << kind;
        ASSERT_TRUE(TickUntil(
            [&] {
                int seen = 0;
                for (const auto& run : HookRuns()) {
                    seen += run.starts_with(kind + "|raise|" + std::to_string(index) + "|" + names[index] + "|") ||
                            run.starts_with(kind + "|clear|" + std::to_string(index) + "|" + names[index] + "|");
                }
                return seen == 2;
            },
            5))
            << kind;
    }
    EXPECT_TRUE(Slot(0).Alarms().empty() && Slot(1).Alarms().empty() && Slot(2).Alarms().empty());
}

TEST_F(TAlarmsTest, EachDropIsCountedOnceAndANewFileRaisesNoFalseAlarm) {
    Build(1, {{{"Name", "Busy"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}}});
    Start();
    TSlotInfo& slot = Slot(0);
    slot.RetryTimes.DropClearMs = 1000;
    slot.RetryTimes.StalledFileSeconds = 1000; // its encoder is held on purpose
    ASSERT_TRUE(TickUntil([&] { return slot.HasEncoder(); }, 5));
    const std::vector<pid_t> lame = Children("lame");
    ASSERT_EQ(lame.size(), 1u);
    // What a capture thread would deliver at once, in one buffer.
    const auto deliver = [&](double seconds) {
        std::vector<float> audio(static_cast<std::size_t>(seconds * 44100) * 2);
        for (std::size_t i = 0; i < audio.size(); ++i) {
            audio[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * static_cast<double>(i / 2) / 44100));
        }
        Flaky->PushToClients(audio.data(), audio.size() * sizeof(float));
    };

    // The encoder drops what its held program does not take; the input what
    // goes beyond its buffer.
    ASSERT_EQ(kill(lame[0], SIGSTOP), 0);
    deliver(9); // more than its 1 MB pipe holds
    const bool encoderDropped = TickUntil([&] { return slot.DroppedBytes() > 0; }, 15).has_value();
    kill(lame[0], SIGCONT);
    ASSERT_TRUE(encoderDropped);
    deliver(TDeviceInfoWithClients::ClientBufferSeconds + 2);
    ASSERT_GT(slot.InputDroppedBytes(), 0u);
    std::uint64_t dropped = 0;
    ASSERT_TRUE(TickUntil(
        [&] {
            dropped = slot.DroppedBytes() + slot.InputDroppedBytes();
            return Said("Busy: Audio dropped ended after") && !slot.AlarmActive(TAlarmKind::AudioDropped) &&
                   slot.DroppedTotal == dropped;
        },
        20))
        << slot.DroppedTotal << " against " << dropped;
    const std::size_t raises = LogsContaining("Busy: Audio dropped since").size();

    // A new file counts its encoder's drops from zero; the input's count stays.
    slot.RestartEncoder();
    ASSERT_EQ(slot.DroppedBytes(), 0u);
    ASSERT_GT(slot.InputDroppedBytes(), 0u);
    TickFor(2.0);
    EXPECT_EQ(slot.DroppedTotal, dropped) << "nothing more was dropped";
    EXPECT_FALSE(slot.AlarmActive(TAlarmKind::AudioDropped));
    EXPECT_EQ(LogsContaining("Busy: Audio dropped since").size(), raises) << "no false alarm";
    EXPECT_EQ(Metric(Fetch("/metrics").Body, "rudazodudad_dropped_bytes_total{slot=\"0\",name=\"Busy\"}"),
              std::to_string(dropped));
}

TEST_F(TAlarmsTest, AHookThatHangsOrIsMissingNeverHoldsUpRecording) {
    for (const std::string& command : {std::string("sleep 1000"), Dir.File("no-such-hook")}) {
        SCOPED_TRACE(command);
        Logged.clear();
        Settings.WriteSection("Alarms", {{"NotRecordingSeconds", "3600"}, {"Command", command}}); // as above
        Build(2, {{{"Name", "Lost"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}},
                  {{"Name", "Tone"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}}});
        ASSERT_TRUE(TickUntil([&] { return Slot(1).BytesProcessed() > 0; }, 5));
        double slowest = 0;
        for (int i = 0; i < 2; ++i) {
            // Lost and back: a raise and a clear, each a hook run.
            Flaky->RefuseOpen = true;
            Flaky->Lose();
            for (const bool lost : {true, false}) {
                for (int n = 0; n < 100 && Slot(0).AlarmActive(TAlarmKind::InputLost) != lost; ++n) {
                    const auto tick = TClock::now();
                    Controller->timTimerTimer();
                    slowest = std::max(slowest, std::chrono::duration<double>(TClock::now() - tick).count());
                    WaitSeconds(0.05);
                }
                Flaky->RefuseOpen = false;
            }
        }
        EXPECT_EQ(LogsContaining("Lost: Input lost ended after").size(), 2u);
        // A tick that waited for the hook would take seconds; under the sanitizers a
        // tick that reopens a device takes over 0.1 s.
        EXPECT_LT(slowest, 1.0) << "a tick never waits for a hook";
        const std::uint64_t before = Slot(1).BytesProcessed();
        TickFor(0.5);
        EXPECT_GT(Slot(1).BytesProcessed(), before) << "the other slot records on";
        Controller->ProcessCommands();
        if (command.starts_with("sleep")) {
            EXPECT_TRUE(LogsContaining("Alarm hook cannot start").empty());
        } else {
            EXPECT_EQ(LogsContaining("Lost: Alarm hook cannot start: " + command + ": No such file or directory").size(),
                      4u);
        }
        const auto stopping = TClock::now();
        Controller.reset(); // the sleeping hooks are killed, not waited for
        EXPECT_LT(std::chrono::duration<double>(TClock::now() - stopping).count(), 3.0);
    }

    // A hook that runs past its time is stopped, and says so.
    std::vector<std::string> lines;
    std::mutex linesLock;
    {
        TAlarmHook hook("sh -c \"echo started; sleep 1000\"",
                        [&](int slot, const std::string& line) {
                            std::lock_guard guard(linesLock);
                            lines.push_back(std::to_string(slot) + " " + line);
                        },
                        std::chrono::milliseconds(500));
        hook.Run(3, "Studio", {TAlarmKind::Silence, true, "Silence since 14:03:12"});
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::lock_guard guard(linesLock);
                return lines.size() == 2;
            },
            5));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"3 Alarm hook: started", "3 Alarm hook stopped after 0.5 s"}));
}

TEST_F(TAlarmsTest, PrometheusScrapesTheMetricsWithBasicAuth) {
    Build(1, {{{"Name", "Studio \"A\""}, {"Source", "Soundcard"}, {"Device", "TEST:0"}}});
    Start("scraper", true, "s3cret");
    ASSERT_TRUE(TickUntil([&] { return Slot(0).BytesProcessed() > 0; }, 5));
    const int port = FreePort();
    const std::string config = Dir.File("prometheus.yml");
    std::ofstream(config) << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: rudazodudad\n"
                          << "    basic_auth:\n      username: scraper\n      password: s3cret\n"
                          << "    static_configs:\n      - targets: ['127.0.0.1:" << Server->Port() << "']\n";
    TChildProgram prometheus({"prometheus", "--config.file=" + config, "--storage.tsdb.path=" + Dir.File("tsdb"),
                              "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                             {}, Dir.File("prometheus.log"));
    auto query = [&](const std::string& expression) {
        const auto r = Get("http://127.0.0.1:" + std::to_string(port) + "/api/v1/query?query=" + expression);
        return r.Status == 200 ? json::parse(r.Body)["data"]["result"] : json::array();
    };
    json result;
    ASSERT_TRUE(TickUntil(
        [&] {
            result = query("rudazodudad_silence_seconds");
            return !result.empty();
        },
        30))
        << prometheus.Log();
    EXPECT_EQ(result[0]["metric"]["name"], "Studio \"A\"");
    EXPECT_EQ(result[0]["metric"]["slot"], "0");
    EXPECT_EQ(result[0]["value"][1], "0") << "the tone is no silence";
    EXPECT_EQ(query("up")[0]["value"][1], "1") << "scraped with the credentials";
    const json recording = query("rudazodudad_recording");
    ASSERT_EQ(recording.size(), 1u);
    EXPECT_EQ(recording[0]["value"][1], "1");
}
