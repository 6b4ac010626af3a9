// Clips cut out of recordings that lame and oggenc really made, fetched over
// real connections and read back with ffprobe and ffmpeg.
#include "ExternalEncoder.h"
#include "TextTools.h"
#include "WebFixture.h"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

using namespace TestSupport;

namespace {

constexpr int Rate = 48000;
constexpr double TonePitch = 1000; // left: one tone throughout, whose joints must not be heard
constexpr float Amplitude = 0.5f;

// Right: a clock, a tone whose pitch names the second of the recording.
double ClockPitch(long long second) { return 300.0 + 20.0 * static_cast<double>(second % 40); }

class WebClips : public TWebFixture, public ::testing::WithParamInterface<std::string> {
protected:
    std::string Ext() const { return GetParam(); }

    // `seconds` of the signal from second `from` on, encoded as a slot records.
    void Record(const std::string& name, long long from, long long seconds) {
        const std::string path = SlotFolder(0) + "/" + name + Ext();
        std::filesystem::create_directories(SlotFolder(0));
        const std::string command = Ext() == ".ogg"
                                        ? Format("oggenc -r -R %d -b 128 -m 16 -o \"%s\" -", Rate, path.c_str())
                                        : Format("lame --flush -m s -r -s %d -b 128 - \"%s\"", Rate, path.c_str());
        TExternalEncoder encoder(command, TExternalEncoder::TChannels::Stereo);
        std::vector<float> block(2 * Rate);
        double clockPhase = 0; // continuous, so that the clock itself clicks nowhere
        for (long long s = from; s < from + seconds; ++s) {
            for (int i = 0; i < Rate; ++i) {
                const double t = static_cast<double>(s) + static_cast<double>(i) / Rate;
                block[2 * i] = Amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * TonePitch * t));
                block[2 * i + 1] = 0.2f * static_cast<float>(std::sin(clockPhase));
                clockPhase = std::fmod(clockPhase + 2 * std::numbers::pi * ClockPitch(s) / Rate, 2 * std::numbers::pi);
            }
            encoder.Process(block.data(), block.size() * sizeof(float));
        }
        encoder.Finish();
        ASSERT_FALSE(encoder.Died()) << encoder.DeathReason();
    }

    THttpReply Clip(const std::string& from, const std::string& to) {
        return Fetch("/ws/slot/0/clip?start=2011-03-07T" + from + "&end=2011-03-07T" + to);
    }

    // The clip's audio, kept in a file for ffprobe.
    std::vector<float> Decode(const THttpReply& reply, double expectedSeconds) {
        const std::string path = Folder("clip" + Ext());
        std::ofstream(path, std::ios::binary) << reply.Body;
        EXPECT_NEAR(ProbeAudio(path).Duration, expectedSeconds, 0.1);
        auto samples = DecodeToStereoFloat(path, Rate);
        EXPECT_NEAR(static_cast<double>(samples.size()) / 2 / Rate, expectedSeconds, 0.1);
        return samples;
    }

    // The second of the recording that the clock tells at `second` of the clip.
    static long long SecondAt(const std::vector<float>& samples, double second) {
        const auto first = static_cast<std::size_t>((second + 0.25) * Rate);
        const double pitch = static_cast<double>(ZeroCrossings(samples, 1, first, Rate / 2));
        return std::lround((pitch - 300.0) / 20.0);
    }
};

} // namespace

TEST_P(WebClips, AcrossHoursGapsAndLimits) {
    Build(1, {{{"Name", "Studio 1"}}});
    Start();
    // 10:57:00-11:00:00 and 11:00:00-11:03:00 without a break, then 11:05:00-11:05:30.
    Record("a", 0, 180);
    Record("b", 180, 180);
    Record("c", 480, 30);
    AddRow(0, "2011-03-07 10:57:00", 180, "a" + Ext());
    AddRow(0, "2011-03-07 11:00:00", 180, "b" + Ext());
    AddRow(0, "2011-03-07 11:05:00", 30, "c" + Ext());

    const auto across = Clip("10:58:00", "11:02:00");
    ASSERT_EQ(across.Status, 200) << across.Body;
    EXPECT_EQ(across.Header("content-type"), Ext() == ".mp3" ? "audio/mpeg" : "audio/ogg");
    EXPECT_EQ(across.Header("content-disposition"),
              "attachment; filename=\"Studio 1_2011-03-07T10-58-00_2011-03-07T11-02-00" + Ext() +
                  "\"; filename*=UTF-8''Studio%201_2011-03-07T10-58-00_2011-03-07T11-02-00" + Ext());
    EXPECT_EQ(across.Header("x-clip-gaps"), "");
    const auto clip = Decode(across, 240);
    EXPECT_EQ(SecondAt(clip, 0), 60 % 40);
    EXPECT_EQ(SecondAt(clip, 119), 179 % 40);
    EXPECT_EQ(SecondAt(clip, 120), 180 % 40) << "the hour's first second follows its last";
    EXPECT_EQ(SecondAt(clip, 239), 299 % 40);
    EXPECT_EQ(ToneFault(clip, Rate, TonePitch, Amplitude), "") << "the joint is not heard";

    // Within one file (MP3: whole frames copied as they are).
    const auto within = Decode(Clip("10:57:30", "10:58:30"), 60);
    EXPECT_EQ(SecondAt(within, 1), 31);
    EXPECT_EQ(SecondAt(within, 58), 88 % 40);

    // What no file holds is left out and named.
    const auto gaps = Clip("11:02:00", "11:06:00");
    ASSERT_EQ(gaps.Status, 200) << gaps.Body;
    EXPECT_EQ(gaps.Header("x-clip-gaps"),
              "2011-03-07T11:03:00/2011-03-07T11:05:00, 2011-03-07T11:05:30/2011-03-07T11:06:00");
    const auto joined = Decode(gaps, 90);
    EXPECT_EQ(SecondAt(joined, 59), 359 % 40);
    EXPECT_EQ(SecondAt(joined, 60), 480 % 40);
    EXPECT_EQ(ToneFault(within, Rate, TonePitch, Amplitude), "");

    const auto none = Clip("09:00:00", "10:00:00");
    EXPECT_EQ(none.Status, 404);
    EXPECT_EQ(none.Body, "No recording of Studio 1 between 2011-03-07T09:00:00 and 2011-03-07T10:00:00");
    const auto tooLong = Clip("04:00:00", "10:00:01");
    EXPECT_EQ(tooLong.Status, 400);
    EXPECT_EQ(tooLong.Body, "A clip can be at most 6 hours long");
    EXPECT_EQ(Clip("10:59:00", "10:59:00").Status, 400);
    for (const char* query : {"start=2011-03-07T10:58:00", "start=yesterday&end=today",
                              "start=2011-03-07T25:00:00&end=2011-03-07T26:00:00"}) {
        const auto bad = Fetch(std::string("/ws/slot/0/clip?") + query);
        EXPECT_EQ(bad.Status, 400) << query;
        EXPECT_EQ(bad.Body.rfind("Give start and end as local times", 0), 0u) << query << ": " << bad.Body;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, WebClips, ::testing::Values(".mp3", ".ogg"),
                         [](const auto& info) { return info.param.substr(1); });

// The hour being written is in the clip as far as it is written.
class WebClipOfTheOpenHour : public TWebFixture {};

TEST_F(WebClipOfTheOpenHour, HoldsWhatIsWrittenSoFar) {
    Build(1, {{{"Name", "Studio"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}}});
    Controller->timTimerTimer(); // opens 2011-03-15 14:00:00 (the fake clock)
    Start();
    double written = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const auto day = nlohmann::json::parse(Fetch("/ws/slot/0/list/2011/3/15").Body);
        written = day.size() == 1 && day[0]["Duration"].is_number() ? day[0]["Duration"].get<double>() : 0;
        return written >= 3;
    }, 20));
    const auto r = Fetch("/ws/slot/0/clip?start=2011-03-15T14:00:00&end=2011-03-15T14:10:00");
    ASSERT_EQ(r.Status, 200) << r.Body;
    EXPECT_EQ(r.Header("x-clip-gaps").rfind("2011-03-15T14:00:0", 0), 0u) << r.Header("x-clip-gaps");
    EXPECT_TRUE(r.Header("x-clip-gaps").ends_with("/2011-03-15T14:10:00")) << r.Header("x-clip-gaps");
    const std::string path = Folder("open.mp3");
    std::ofstream(path, std::ios::binary) << r.Body;
    const double seconds = ProbeAudio(path).Duration;
    EXPECT_GT(seconds, written - 0.5);
    EXPECT_LT(seconds, written + 10);
}
