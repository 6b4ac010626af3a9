// The state lines and status image of a slot's row, for every line of the
// table: real slots with the test tone, a real stream server on loopback.
#include "IcyServer.h"
#include "SlotFixture.h"
#include "SlotStatus.h"

#include <gtest/gtest.h>

using namespace TestSupport;
using TImage = TSlotStatus::TImage;

namespace {

class TSlotStatusTest : public TSlotFixture {
protected:
    // Each slot of a test gets a section of its own: a freed slot writes all its keys back.
    std::unique_ptr<TSlotInfo> ToneSlot(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        return RecordingSlot(extra, FNextIndex++);
    }

private:
    int FNextIndex = 0;
};

} // namespace

TEST(ElapsedText, CountsHoursMinutesSecondsAndStartsAgainAfterADay) {
    EXPECT_EQ(ElapsedText(0), "00:00:00");
    EXPECT_EQ(ElapsedText(999), "00:00:00");
    EXPECT_EQ(ElapsedText(61'000), "00:01:01");
    EXPECT_EQ(ElapsedText((23 * 3600 + 59 * 60 + 59) * 1000ULL), "23:59:59");
    EXPECT_EQ(ElapsedText(24 * 3600 * 1000ULL), "00:00:00");
    EXPECT_EQ(ElapsedText((25 * 3600 + 2) * 1000ULL), "01:00:02");
}

TEST_F(TSlotStatusTest, ADisabledSlotSaysSoWithTheDisabledImage) {
    auto slot = MakeSlot(0, {{"Name", "Off"}, {"Folder", Folder()}});
    slot->StartInput();
    const TSlotStatus s = DescribeSlot(*slot, GetMilliseconds());
    EXPECT_EQ(s.Line2, "Disabled");
    EXPECT_FALSE(s.Line2Error);
    EXPECT_EQ(s.Line3, "");
    EXPECT_EQ(s.Image, TImage::Disabled);
}

TEST_F(TSlotStatusTest, ADeviceThatDidNotAttachShowsItsErrorInRedWhateverEnabledSays) {
    for (const char* enabled : {"on", "off"}) {
        auto slot = ToneSlot({{"Device", "WDM:77"}, {"Enabled", enabled}});
        const TSlotStatus s = DescribeSlot(*slot, GetMilliseconds());
        EXPECT_EQ(s.Line2, "Error: Invalid device") << enabled;
        EXPECT_TRUE(s.Line2Error);
        EXPECT_EQ(s.Line3, "");
        EXPECT_EQ(s.Image, TImage::Error);
    }
}

TEST_F(TSlotStatusTest, ARecordingSlotShowsDeviceFileAndElapsedTime) {
    auto slot = ToneSlot();
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const TSlotStatus s = DescribeSlot(*slot, slot->FileStartTicks + 3'723'000);
    EXPECT_EQ(s.Line2, "Test: tone");
    EXPECT_FALSE(s.Line2Error);
    EXPECT_EQ(s.Line3, slot->CurrentFile);
    EXPECT_TRUE(s.Line3IsFile);
    EXPECT_EQ(s.Line4, "01:02:03");
    EXPECT_EQ(s.Image, TImage::Ok);
    EXPECT_EQ(DescribeSlot(*slot, slot->FileStartTicks).Line4, "00:00:00") << "counts from zero at a new file";
}

TEST_F(TSlotStatusTest, AStoppedSlotSaysEncoderStoppedAndAFailedEncoderItsError) {
    auto stopped = ToneSlot({{"Enabled", "off"}});
    stopped->RestartEncoder();
    TSlotStatus s = DescribeSlot(*stopped, GetMilliseconds());
    EXPECT_EQ(s.Line2, "Test: tone");
    EXPECT_EQ(s.Line3, "Encoder stopped");
    EXPECT_FALSE(s.Line3Error);
    EXPECT_EQ(s.Line4, "");
    EXPECT_EQ(s.Image, TImage::Disabled);
    stopped.reset();

    // Enabled, but no file yet (as with NoAutoRotate before the first Stop and Start).
    auto waiting = ToneSlot({{"NoAutoRotate", "on"}});
    s = DescribeSlot(*waiting, GetMilliseconds());
    EXPECT_EQ(s.Line3, "Encoder error: ");
    EXPECT_TRUE(s.Line3Error);
    EXPECT_EQ(s.Image, TImage::Error);
    waiting.reset();

    // No WMA Pro encoder here: the start fails and the reason is kept.
    auto failing = ToneSlot({{"Format", "wmapro"}});
    failing->RestartEncoder();
    ASSERT_FALSE(failing->HasEncoder());
    ASSERT_FALSE(failing->LastError.empty());
    s = DescribeSlot(*failing, GetMilliseconds());
    EXPECT_EQ(s.Line3, "Encoder error: " + failing->LastError);
    EXPECT_TRUE(s.Line3Error);
    EXPECT_EQ(s.Image, TImage::Error);
}

TEST_F(TSlotStatusTest, AStreamShowsItsStatusUntilConnectedThenTheTitleOrTheUrl) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    server.AddSilent("/hang");
    auto connecting = MakeSlot(0, {{"Folder", Folder()}, {"Source", "Stream"}, {"StreamURL", server.Url("/hang")}});
    connecting->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return DescribeSlot(*connecting, 0).Line2 == "Connecting..."; }, 5));
    TSlotStatus s = DescribeSlot(*connecting, 0);
    EXPECT_TRUE(s.Line2Error);
    EXPECT_EQ(s.Image, TImage::Error);
    connecting.reset();

    const std::string url = server.Url("/stream");
    auto slot = MakeSlot(1, {{"Folder", Folder()}, {"Source", "Stream"}, {"StreamURL", url}});
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 10)) << slot->GetStreamStatus();
    s = DescribeSlot(*slot, 0);
    EXPECT_EQ(s.Line2, url) << "no title has come yet";
    EXPECT_FALSE(s.Line2Error);
    EXPECT_EQ(s.Line3, "Encoder error: ") << "no file before the first tick";
    server.SetMeta("StreamTitle='Artist - Song';");
    EXPECT_TRUE(WaitUntil([&] { return DescribeSlot(*slot, 0).Line2 == "Artist - Song"; }, 8))
        << DescribeSlot(*slot, 0).Line2;
}
