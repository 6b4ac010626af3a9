#include "IcecastServer.h"
#include "IcyServer.h"
#include "SlotFixture.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

using namespace TestSupport;
using TClock = std::chrono::steady_clock;

namespace {

class TSlotStreamTest : public TSlotFixture {
protected:
    std::unique_ptr<TSlotInfo> StreamSlot(const std::string& url) {
        auto slot = MakeSlot(0, {{"Name", "Radio"}, {"Folder", Folder()}, {"Source", "Stream"}, {"StreamURL", url}});
        slot->StreamTimeouts.Network = std::chrono::milliseconds(2000);
        slot->StreamTimeouts.Stall = std::chrono::milliseconds(2000);
        return slot;
    }
    std::string Title(TSlotInfo& slot) {
        std::lock_guard lock(slot.Lock);
        return slot.StreamTitle;
    }
};

} // namespace

TEST_F(TSlotStreamTest, FollowsTheTitleAndReconnectsWhenTheServerCloses) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    server.SetMeta("StreamTitle='Artist - Song';StreamUrl='';");
    auto slot = StreamSlot(server.Url("/stream"));
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 5)) << slot->GetStreamStatus();
    ASSERT_TRUE(WaitUntil([&] { return Title(*slot) == "Artist - Song"; }, 5)) << Title(*slot);

    server.SetMeta("StreamUrl='x';"); // no title in it: the old one stays
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Title(*slot), "Artist - Song");
    server.SetMeta("StreamTitle='It';s';");
    ASSERT_TRUE(WaitUntil([&] { return Title(*slot) == "It"; }, 8)) << Title(*slot) << " / " << slot->GetStreamStatus();

    const int before = server.Connections();
    server.CloseStreams();
    // Noticed once the stream's read-ahead reaches the end of what was sent.
    ASSERT_TRUE(WaitUntil([&] { return slot->GetStreamStatus() == "Reconnecting..."; }, 12))
        << slot->GetStreamStatus() << " connections " << server.Connections() << " before " << before;
    const auto lost = TClock::now();
    ASSERT_TRUE(WaitUntil([&] { return server.Connections() > before && slot->StreamConnected(); }, 5));
    EXPECT_LT(std::chrono::duration<double>(TClock::now() - lost).count(), 2.5) << "within about a second";
    EXPECT_EQ(Title(*slot), "It") << "the last title stays over a reconnection";

    server.SetMeta("StreamTitle='';");
    ASSERT_TRUE(WaitUntil([&] { return Title(*slot).empty(); }, 5));
}

TEST_F(TSlotStreamTest, RecordsTheStreamAndCountsOnlyConnectedTime) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    auto slot = StreamSlot(server.Url("/stream"));
    slot->StartInput();
    slot->RestartEncoder(); // a stream slot records whether connected or not
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    ASSERT_TRUE(WaitUntil([&] { return slot->CurrentDuration() > 3.0f; }, 10));
    slot->StopEncoder();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    const auto probe = ProbeAudio(Folder() + "/" + rows[0].FileName);
    EXPECT_NEAR(probe.Duration, *rows[0].Duration, 0.1);
    EXPECT_EQ(probe.SampleRate, 44100) << "the 48000 Hz stream is resampled to the slot's rate";
    EXPECT_EQ(probe.Channels, 2);
    const auto audio = DecodeToStereoFloat(Folder() + "/" + rows[0].FileName, 44100);
    // The level the server's MP3 itself decodes to.
    const std::string source = Dir.File("source.mp3");
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(SineMp3().data()),
                                                  static_cast<std::streamsize>(SineMp3().size()));
    const double level = Goertzel(DecodeToStereoFloat(source, 44100), 0, 44100, 440.0, 22050, 44100);
    ASSERT_GT(level, 0.05);
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(Goertzel(audio, channel, 44100, 440.0, 22050, 44100) / level, 1.0, 0.06)
            << "mono on both channels at full level";
        EXPECT_NEAR(ZeroCrossings(audio, channel, 22050, 44100) / 2.0, 440.0, 2.0);
    }
}

TEST_F(TSlotStreamTest, UnreachableServersShowTheErrorAndAreTriedOnceASecondOneAtATime) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 0);
    auto slot = StreamSlot(server.Url("/gone")); // answered with 404
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return slot->GetStreamStatus() == "can't open the file (BASS error 2)"; }, 5))
        << slot->GetStreamStatus();
    const int first = server.Connections();
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    const int attempts = server.Connections() - first;
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 4) << "about one a second";
    EXPECT_FALSE(slot->StreamConnected());
    // FFmpeg's own complaint reaches the slot's log, once for all the attempts.
    std::lock_guard guard(PostedLock);
    EXPECT_EQ(std::count(Posted.begin(), Posted.end(), "Radio: FFmpeg: http: HTTP error 404 Not Found"), 1)
        << (Posted.empty() ? "" : Posted.front());
}

TEST_F(TSlotStreamTest, ChangingTheUrlRestartsAndStoppingAHangingConnectIsPrompt) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    server.AddSilent("/silent");
    server.SetMeta("StreamTitle='First';");
    auto slot = StreamSlot(server.Url("/stream"));
    slot->StreamTimeouts.Network = std::chrono::milliseconds(30000);
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return Title(*slot) == "First"; }, 5));

    slot->StreamURL = server.Url("/silent");
    slot->StartInput();
    EXPECT_TRUE(Title(*slot).empty()) << "the title is emptied";
    EXPECT_FALSE(slot->StreamConnected());
    EXPECT_TRUE(WaitUntil([&] { return slot->GetStreamStatus() == "Connecting..."; }, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // inside the hanging connect
    auto stop = TClock::now();
    slot->StopInput();
    EXPECT_LT(std::chrono::duration<double>(TClock::now() - stop).count(), 1.5);

    // A stop that lands just as a connect begins must not wait for it either.
    double slowest = 0;
    for (int i = 0; i < 30; ++i) {
        slot->StartInput();
        std::this_thread::sleep_for(std::chrono::microseconds(i % 6 * 300));
        stop = TClock::now();
        slot->StopInput();
        slowest = std::max(slowest, std::chrono::duration<double>(TClock::now() - stop).count());
    }
    EXPECT_LT(slowest, 1.0);
}

TEST_F(TSlotStreamTest, AStalledServerIsReconnected) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
    auto slot = StreamSlot(server.Url("/stream"));
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 5));
    const int before = server.Connections();
    server.Stall();
    // The buffered audio plays out first, then the stall timeout (2 s here) ends the stream.
    ASSERT_TRUE(WaitUntil([&] { return server.Connections() > before; }, 15)) << slot->GetStreamStatus();
}

TEST_F(TSlotStreamTest, UnreachableSlotsNeverConnectAtTheSameTime) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 0);
    server.AddSilent("/a"); // accepted, never answered: each attempt lasts the whole network timeout
    server.AddSilent("/b");
    constexpr auto Timeout = std::chrono::milliseconds(1000);
    auto first = MakeSlot(0, {{"Name", "A"}, {"Folder", Folder()}, {"Source", "Stream"}, {"StreamURL", server.Url("/a")}});
    auto second = MakeSlot(1, {{"Name", "B"}, {"Folder", Folder() + "/b"}, {"Source", "Stream"}, {"StreamURL", server.Url("/b")}});
    for (auto* slot : {first.get(), second.get()}) {
        slot->StreamTimeouts.Network = Timeout;
        slot->StartInput();
    }
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 5; }, 15));
    first->StopInput();
    second->StopInput();

    const auto requests = server.Requests();
    int a = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        a += requests[i].Path == "/a" ? 1 : 0;
        if (i > 0) {
            const double gap = std::chrono::duration<double>(requests[i].Time - requests[i - 1].Time).count();
            EXPECT_GE(gap, 0.9 * std::chrono::duration<double>(Timeout).count())
                << "request " << i << " (" << requests[i].Path << ") began while another was still waiting";
        }
    }
    EXPECT_GT(a, 0);
    EXPECT_LT(a, static_cast<int>(requests.size())) << "both slots take their turns";
}

namespace {

class TIcecastSlotTest : public TSlotStreamTest {
protected:
    TIcecastServer Icecast;
};

} // namespace

TEST_F(TIcecastSlotTest, RecordsMp3AndOggMountsForTheTimeConnected) {
    for (const auto& [mount, frequency] :
         {std::pair{std::string("/live.mp3"), TIcecastServer::Mp3Frequency},
          std::pair{std::string("/live.ogg"), TIcecastServer::OggFrequency}}) {
        SCOPED_TRACE(mount);
        const std::string folder = Folder() + mount;
        auto slot = MakeSlot(0, {{"Name", "Radio"}, {"Folder", folder}, {"Source", "Stream"},
                                 {"StreamURL", Icecast.Url(mount)}});
        slot->StartInput();
        ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 10)) << slot->GetStreamStatus();
        const auto connected = TClock::now();
        slot->RestartEncoder();
        ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
        std::this_thread::sleep_for(std::chrono::seconds(5));
        slot->StopEncoder();
        const double seconds = std::chrono::duration<double>(TClock::now() - connected).count();
        EXPECT_TRUE(slot->StreamConnected()) << "the stream stayed up: " << slot->GetStreamStatus();
        slot.reset();

        const auto rows = Rows(folder);
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_TRUE(rows[0].Duration.has_value());
        // The time connected, and what the stream had received ahead of it
        // (Icecast's burst on connecting), which a stop puts into the file.
        EXPECT_GT(*rows[0].Duration, seconds - 1.0) << "the file covers the time it was connected";
        EXPECT_LT(*rows[0].Duration, seconds + 6.0) << "and at most the stream's read-ahead more";
        const std::string file = folder + "/" + rows[0].FileName;
        EXPECT_NEAR(ProbeAudio(file).Duration, *rows[0].Duration, 0.2);
        const auto audio = DecodeToStereoFloat(file, 44100);
        ASSERT_GT(audio.size(), 44100u * 2 * 3);
        // The level ffmpeg itself reads from the mount.
        const std::string reference = Dir.File("reference.wav");
        ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -y -t 3 -i '" + Icecast.Url(mount) + "' -ar 44100 -ac 2 '" +
                             reference + "'")
                      .ExitCode,
                  0);
        const double level = Goertzel(DecodeToStereoFloat(reference, 44100), 0, 44100, frequency, 44100, 44100);
        ASSERT_GT(level, 0.05);
        for (int channel = 0; channel < 2; ++channel) {
            EXPECT_NEAR(Goertzel(audio, channel, 44100, frequency, 44100, 88200) / level, 1.0, 0.06);
            EXPECT_LT(Goertzel(audio, channel, 44100, frequency == 440.0 ? 660.0 : 440.0, 44100, 88200), 0.01);
        }
    }
}

TEST_F(TIcecastSlotTest, ATitleSetOnTheServerReachesTheSlot) {
    auto slot = StreamSlot(Icecast.Url("/live.mp3"));
    slot->StartInput();
    ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 10)) << slot->GetStreamStatus();
    Icecast.SetTitle("/live.mp3", "Artist - Song");
    EXPECT_TRUE(WaitUntil([&] { return Title(*slot) == "Artist - Song"; }, 5)) << Title(*slot);
    Icecast.SetTitle("/live.mp3", "Next \"One\" & more");
    EXPECT_TRUE(WaitUntil([&] { return Title(*slot) == "Next \"One\" & more"; }, 5)) << Title(*slot);
}

TEST_F(TSlotStreamTest, WhatTheStreamHasQueuedGoesIntoTheFileAtAStopAndAtANewAddress) {
    // The first seconds come at once, as servers send a new listener: the
    // stream holds them ahead of what it plays.
    constexpr double BurstSeconds = 4.0;
    const auto burst = static_cast<std::size_t>(BurstSeconds * Mp3BytesPerSecond);
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, burst);
    TIcyServer other(SineMp3(), Mp3BytesPerSecond, burst);
    auto slot = StreamSlot(server.Url("/stream"));
    slot->StartInput();
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    ASSERT_TRUE(WaitUntil([&] { return slot->CurrentDuration() > 1.0f; }, 10)) << slot->GetStreamStatus();

    // A new address: the old stream's queue goes into the open file at once.
    const float beforeChange = slot->CurrentDuration();
    {
        std::lock_guard lock(slot->Lock);
        slot->StreamURL = other.Url("/stream");
    }
    slot->StartInput();
    EXPECT_GT(slot->CurrentDuration(), beforeChange + BurstSeconds - 1.5) << "the old stream's queue is in";

    // A stop: the new stream's queue is in the file before it closes.
    ASSERT_TRUE(WaitUntil([&] { return slot->StreamConnected(); }, 10)) << slot->GetStreamStatus();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const float beforeStop = slot->CurrentDuration();
    const auto stopping = TClock::now();
    slot->SetRecording(false);
    EXPECT_LT(std::chrono::duration<double>(TClock::now() - stopping).count(), 2.0) << "not at real time";
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_GT(*rows[0].Duration, beforeStop + BurstSeconds - 1.5) << "the queued seconds are in the file";
    EXPECT_NEAR(ProbeAudio(Folder() + "/" + rows[0].FileName).Duration, *rows[0].Duration, 0.1);
}
