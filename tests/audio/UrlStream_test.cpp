#include "IcyServer.h"
#include "Mixer.h"
#include "PushStream.h"
#include "TestSupport.h"
#include "StreamText.h"
#include "UrlStream.h"
#include "basserrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

constexpr int SourceRate = 48000;
constexpr double SourceAmplitude = 0.125; // lavfi's sine

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = TClock::now() + timeout;
    while (!condition()) {
        if (TClock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Reads `frames` stereo frames from a source as they arrive; fewer on timeout.
std::vector<float> Collect(TAudioSource& source, std::size_t frames, std::chrono::milliseconds timeout) {
    std::vector<float> all(frames * 2);
    std::size_t got = 0;
    const auto end = TClock::now() + timeout;
    while (got < frames && TClock::now() < end) {
        const std::size_t n = source.Read(&all[got * 2], frames - got);
        got += n;
        if (n == 0) {
            std::this_thread::sleep_for(10ms);
        }
    }
    all.resize(got * 2);
    return all;
}

double MaxChannelDifference(const std::vector<float>& stereo) {
    double worst = 0;
    for (std::size_t i = 0; i + 1 < stereo.size(); i += 2) {
        worst = std::max(worst, static_cast<double>(std::fabs(stereo[i] - stereo[i + 1])));
    }
    return worst;
}

struct TCounts {
    std::atomic<int> Ended{0};
    std::atomic<int> Meta{0};
    TUrlStream::TCallbacks Callbacks() {
        return {[this] { ++Ended; }, [this] { ++Meta; }};
    }
};

// A live-like server: a 64 KB burst (as Icecast gives), then real time.
std::unique_ptr<TIcyServer> LiveServer() {
    return std::make_unique<TIcyServer>(SineMp3(), Mp3BytesPerSecond, 64 * 1024);
}

int CodeOfCreate(const std::string& url, TUrlStream::TTimeouts timeouts = {}) {
    try {
        TUrlStream::Create(url, {}, timeouts);
    } catch (const TAudioError& e) {
        return e.Code();
    }
    return BassError::Ok;
}

// 440 Hz on both channels at full level, both channels the same.
void ExpectSine(const std::vector<float>& stereo, int rate, double maxDifference) {
    const std::size_t frames = stereo.size() / 2;
    ASSERT_GE(frames, static_cast<std::size_t>(rate)) << "at least a second of audio";
    // Clear of the decoder's and resampler's start.
    const std::size_t first = frames / 4;
    const std::size_t span = static_cast<std::size_t>(rate / 2);
    for (int ch = 0; ch < 2; ++ch) {
        const double frequency = ZeroCrossings(stereo, ch, first, span) / 2.0 / 0.5;
        EXPECT_NEAR(frequency, 440.0, 4.0) << "channel " << ch;
        const double level = Goertzel(stereo, ch, rate, 440.0, first, span);
        EXPECT_NEAR(20 * std::log10(level / SourceAmplitude), 0.0, 0.5) << "channel " << ch << " at full level";
    }
    EXPECT_LE(MaxChannelDifference(stereo), maxDifference) << "a mono source plays the same on both sides";
}

} // namespace

TEST(StreamTitle, TakesTheShortestTitle) {
    EXPECT_EQ(StreamTitleOf("StreamTitle='Artist - Song';StreamUrl='';"), "Artist - Song");
    EXPECT_EQ(StreamTitleOf("StreamTitle='';"), "");
    EXPECT_EQ(StreamTitleOf("StreamTitle='A';B';"), "A");
    EXPECT_EQ(StreamTitleOf("StreamUrl='x';"), std::nullopt);
    EXPECT_EQ(StreamTitleOf("StreamTitle='Line one\nline two';"), "Line one\nline two");
    EXPECT_EQ(StreamTitleOf("streamtitle='lower';"), std::nullopt) << "case matters";
    EXPECT_EQ(StreamTitleOf("StreamTitle='unterminated"), std::nullopt);
}

TEST(UrlStream, PlaysAnIcyStreamAndFollowsItsMetadata) {
    auto server = LiveServer();
    server->UseIcyStatusLine(true);
    server->SetMeta("StreamTitle='First';StreamUrl='';");
    TCounts counts;

    const auto start = TClock::now();
    auto stream = TUrlStream::Create(server->Url("/stream"), counts.Callbacks());
    EXPECT_LT(SecondsSince(start), 3.0) << "a live stream opens without long probing";
    EXPECT_EQ(stream->Rate(), SourceRate);
    EXPECT_EQ(stream->Channels(), 2);
    EXPECT_TRUE(server->ClientAskedForMeta());

    const auto audio = Collect(*stream, SourceRate * 2, 15s);
    ExpectSine(audio, SourceRate, 1e-6);

    ASSERT_TRUE(WaitFor([&] { return stream->Meta() == "StreamTitle='First';StreamUrl='';"; }, 5s))
        << (stream->Meta() ? *stream->Meta() : "no metadata");
    EXPECT_EQ(StreamTitleOf(*stream->Meta()), "First");
    const int metaBefore = counts.Meta.load();

    server->SetMeta("StreamTitle='Second';");
    ASSERT_TRUE(WaitFor([&] { return stream->Meta() == "StreamTitle='Second';"; }, 5s));
    EXPECT_TRUE(WaitFor([&] { return counts.Meta.load() > metaBefore; }, 1s)) << "OnMeta fired for the change";
    EXPECT_EQ(counts.Ended.load(), 0);
    EXPECT_FALSE(stream->Ended());
}

TEST(UrlStream, HoldsTheDownloadAndThePlayingToRealTime) {
    // The server would hand over the whole 20 s at once.
    TIcyServer server(SineMp3(), 10e6, 0);
    auto stream = TUrlStream::Create(server.Url("/stream"), {});
    std::this_thread::sleep_for(3s);
    // Nothing read yet: the decoder stops at its read-ahead, well short of the FIFO's room.
    const double ahead = static_cast<double>(stream->QueuedAudio()->QueuedFrames()) / SourceRate;
    EXPECT_GE(ahead, TUrlStream::BufferAheadSeconds - 0.5);
    EXPECT_LE(ahead, TUrlStream::BufferAheadSeconds + 1.5);

    // Played like a sound card: what the clock allows, not all that is queued.
    std::vector<float> all(SourceRate * 20 * 2);
    EXPECT_EQ(stream->Read(all.data(), SourceRate * 20), 0u) << "the clock starts at the first read";
    const auto start = TClock::now();
    std::this_thread::sleep_for(1s);
    const double played = static_cast<double>(stream->Read(all.data(), SourceRate * 20)) / SourceRate;
    EXPECT_GE(played, 0.9);
    EXPECT_LE(played, SecondsSince(start) + 0.05);
}

TEST(UrlStream, ANewConnectionPlaysWhatTheEndedOneHadQueued) {
    TIcyServer server(SineMp3(), 10e6, 0);
    auto first = TUrlStream::Create(server.Url("/stream"), {});
    ASSERT_TRUE(WaitFor([&] { return first->QueuedAudio()->QueuedFrames() > std::size_t{SourceRate} * 4; }, 5s));
    first->Stop();
    const auto unplayed = first->QueuedAudio();
    const std::size_t queued = unplayed->QueuedFrames();

    TUrlStream second({}, {});
    second.Open(server.Url("/stream"), unplayed);
    EXPECT_EQ(second.QueuedAudio(), unplayed) << "the new audio follows the old";
    EXPECT_GE(second.QueuedAudio()->QueuedFrames(), queued);
    second.Stop();
}

TEST(UrlStream, EndsOnceWhenTheServerCloses) {
    auto server = LiveServer();
    TCounts counts;
    auto stream = TUrlStream::Create(server->Url("/stream"), counts.Callbacks());
    ASSERT_FALSE(Collect(*stream, SourceRate / 2, 10s).empty());
    EXPECT_EQ(counts.Ended.load(), 0);

    server->CloseStreams();
    ASSERT_TRUE(WaitFor([&] { return counts.Ended.load() > 0; }, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(counts.Ended.load(), 1);
    EXPECT_TRUE(stream->Ended());
    // What was decoded before the end still plays.
    EXPECT_GT(Collect(*stream, SourceRate / 10, 1s).size(), 0u);
}

TEST(UrlStream, EndsWhenTheServerStalls) {
    auto server = LiveServer();
    TCounts counts;
    TUrlStream::TTimeouts timeouts;
    timeouts.Stall = 1500ms;
    timeouts.Network = 30s; // far longer: only the stall timeout may end it in time
    // The owner stops the stream from its OnEnded, as a slot does.
    std::atomic<TUrlStream*> self{nullptr};
    auto callbacks = counts.Callbacks();
    callbacks.OnEnded = [&] {
        if (TUrlStream* s = self.load()) {
            s->Stop();
        }
        ++counts.Ended;
    };
    auto stream = TUrlStream::Create(server->Url("/stream"), callbacks, timeouts);
    self = stream.get();
    ASSERT_FALSE(Collect(*stream, SourceRate / 2, 10s).empty());

    server->Stall();
    const auto stalled = TClock::now();
    ASSERT_TRUE(WaitFor([&] { return counts.Ended.load() > 0; }, 15s)) << "a silent connection counts as ended";
    EXPECT_GE(SecondsSince(stalled), 1.0) << "not before the stall timeout";
    EXPECT_LE(SecondsSince(stalled), 3.0) << "within twice the stall timeout";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(counts.Ended.load(), 1);
}

TEST(UrlStream, FollowsPlaylistsToTheirFirstEntry) {
    auto server = LiveServer();
    const std::string streamUrl = server->Url("/stream");
    server->AddPage("/radio.pls", "HTTP/1.0 200 OK", "audio/x-scpls",
                    "[playlist]\nNumberOfEntries=2\nFile1=" + streamUrl + "\nTitle1=Test\nFile2=" +
                        server->Url("/missing") + "\nVersion=2\n");
    server->AddPage("/radio.m3u", "HTTP/1.0 200 OK", "audio/x-mpegurl",
                    "#EXTM3U\r\n#EXTINF:-1,Test\r\n/stream\r\n/missing\r\n");
    // Known by its Content-Type alone.
    server->AddPage("/listen", "HTTP/1.0 200 OK", "audio/x-scpls", "[playlist]\nFile1=" + streamUrl + "\n");
    for (const std::string path : {"/radio.pls", "/radio.m3u", "/listen"}) {
        SCOPED_TRACE(path);
        auto stream = TUrlStream::Create(server->Url(path), {});
        EXPECT_EQ(stream->Rate(), SourceRate);
        EXPECT_GE(Collect(*stream, SourceRate / 2, 10s).size(), static_cast<std::size_t>(SourceRate))
            << "audio of the playlist's stream";
    }
    server->AddPage("/empty.pls", "HTTP/1.0 200 OK", "audio/x-scpls", "[playlist]\nNumberOfEntries=0\n");
    EXPECT_EQ(CodeOfCreate(server->Url("/empty.pls")), BassError::FileForm);
}

// What creating a stream from `url` ends in: the refusal's text, or what shows
// that something was opened. A FIFO named by the URL holds its reader in open()
// until a writer comes, which this supplies after a while.
std::string RefusalOf(const std::string& url, const std::string& fifo) {
    auto result = std::async(std::launch::async, [&]() -> std::string {
        try {
            TUrlStream::Create(url, {}, {2s, 2s});
            return "opened";
        } catch (const StreamText::TSchemeRefused& e) {
            return e.what();
        } catch (const std::exception& e) {
            return std::string("opened and failed: ") + e.what();
        }
    });
    if (result.wait_for(3s) != std::future_status::ready) {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
        return "read the FIFO: " + result.get();
    }
    return result.get();
}

TEST(UrlStream, OpensNothingButHttpAndHttps) {
    TTempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto server = LiveServer();
    server->AddPage("/local.pls", "HTTP/1.0 200 OK", "audio/x-scpls", "[playlist]\nFile1=file://" + fifo + "\n");
    server->AddPage("/passwd.m3u", "HTTP/1.0 200 OK", "audio/x-mpegurl", "file:///etc/passwd\n");
    server->AddPage("/socket.m3u", "HTTP/1.0 200 OK", "audio/x-mpegurl", "tcp://127.0.0.1:9/\n");
    const std::string notAllowed = "\" is not allowed: streams are recorded over http and https only";
    const std::vector<std::pair<std::string, std::string>> cases{
        {server->Url("/local.pls"), "Scheme \"file" + notAllowed},
        {server->Url("/passwd.m3u"), "Scheme \"file" + notAllowed},
        {server->Url("/socket.m3u"), "Scheme \"tcp" + notAllowed},
        {"file://" + fifo, "Scheme \"file" + notAllowed},
        {"FILE:" + fifo, "Scheme \"file" + notAllowed},
        {fifo, "A stream URL must begin with http:// or https://"},
        {"pipe:0", "Scheme \"pipe" + notAllowed},
        {"concat:" + fifo + "|" + fifo, "Scheme \"concat" + notAllowed},
        {"subfile,,start,0,end,0,,:" + fifo, "A stream URL must begin with http:// or https://"},
        {"data:audio/mpeg;base64,AAAA", "Scheme \"data" + notAllowed},
        {"crypto+http://127.0.0.1/", "Scheme \"crypto+http" + notAllowed},
    };
    for (const auto& [url, text] : cases) {
        EXPECT_EQ(RefusalOf(url, fifo), text) << url;
    }
    const int before = server->Connections();
    EXPECT_EQ(RefusalOf("tcp://127.0.0.1:" + std::to_string(server->Port()), fifo), "Scheme \"tcp" + notAllowed);
    EXPECT_EQ(server->Connections(), before) << "no connection for a raw socket address";
    // HTTP in capitals is still HTTP.
    EXPECT_EQ(TUrlStream::Create("HTTP://" + server->Url("/stream").substr(7), {})->Rate(), SourceRate);
}

TEST(UrlStream, LeavesHlsPlaylistsToFFmpeg) {
    TTempDir dir;
    const auto made = RunCommand("ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:sample_rate=48000 -ac 1 "
                                 "-t 6 -c:a aac -b:a 96k -f hls -hls_time 2 -hls_list_size 0 -hls_playlist_type vod "
                                 "-hls_segment_filename '" +
                                 dir.File("part%d.ts") + "' '" + dir.File("index.m3u8") + "'");
    ASSERT_EQ(made.ExitCode, 0);
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string body{std::istreambuf_iterator<char>(in), {}};
        const bool list = entry.path().extension() == ".m3u8";
        server.AddPage("/hls/" + entry.path().filename().string(), "HTTP/1.0 200 OK",
                       list ? "application/vnd.apple.mpegurl" : "video/mp2t", body);
    }
    TCounts counts;
    auto stream = TUrlStream::Create(server.Url("/hls/index.m3u8"), counts.Callbacks());
    EXPECT_EQ(stream->Rate(), SourceRate);
    ExpectSine(Collect(*stream, SourceRate * 2, 15s), SourceRate, 1e-6);
}

TEST(UrlStream, ReportsWhyItCouldNotOpen) {
    const int port = FreePort();
    auto start = TClock::now();
    EXPECT_EQ(CodeOfCreate("http://127.0.0.1:" + std::to_string(port) + "/stream"), BassError::FileOpen);
    EXPECT_LT(SecondsSince(start), 3.0);

    auto server = LiveServer();
    EXPECT_EQ(CodeOfCreate(server->Url("/nothing-here")), BassError::FileOpen) << "HTTP 404";

    std::string garbage;
    while (garbage.size() < 100000) {
        garbage += "this is no audio at all; ";
    }
    server->AddPage("/garbage", "HTTP/1.0 200 OK", "audio/mpeg", garbage);
    server->AddPage("/garbage.bin", "HTTP/1.0 200 OK", "application/octet-stream", garbage);
    EXPECT_EQ(CodeOfCreate(server->Url("/garbage")), BassError::FileForm);
    EXPECT_EQ(CodeOfCreate(server->Url("/garbage.bin")), BassError::FileForm);

    server->AddSilent("/silent");
    TUrlStream::TTimeouts timeouts;
    timeouts.Network = 1000ms;
    start = TClock::now();
    EXPECT_EQ(CodeOfCreate(server->Url("/silent"), timeouts), BassError::Timeout);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 6.0);
}

TEST(UrlStream, StopAbortsAHangingConnectPromptly) {
    TIcyServer server(SineMp3(), Mp3BytesPerSecond, 0);
    server.AddSilent("/silent");
    TUrlStream::TTimeouts timeouts;
    timeouts.Network = 60s;
    TUrlStream stream({}, timeouts);
    std::atomic<int> code{-1};
    std::thread opener([&] {
        try {
            stream.Open(server.Url("/silent"));
            code = BassError::Ok;
        } catch (const TAudioError& e) {
            code = e.Code();
        }
    });
    ASSERT_TRUE(WaitFor([&] { return server.Connections() > 0; }, 5s));
    std::this_thread::sleep_for(200ms);
    const auto start = TClock::now();
    stream.Stop();
    opener.join();
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(code.load(), BassError::Ended) << "an aborted open fails";
    stream.Stop(); // again: nothing happens
}

TEST(UrlStream, StopAndDestructionReturnWhileAReadHangs) {
    auto server = LiveServer();
    TUrlStream::TTimeouts timeouts;
    timeouts.Network = 60s;
    timeouts.Stall = 60s;
    TCounts counts;
    auto first = TUrlStream::Create(server->Url("/stream"), counts.Callbacks(), timeouts);
    auto second = TUrlStream::Create(server->Url("/stream"), counts.Callbacks(), timeouts);
    ASSERT_FALSE(Collect(*first, SourceRate / 2, 10s).empty());
    server->Stall();
    std::this_thread::sleep_for(1500ms); // both decoders now wait in a read

    auto start = TClock::now();
    first->Stop();
    EXPECT_LT(SecondsSince(start), 1.0);
    first->Stop();
    start = TClock::now();
    second.reset();
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(counts.Ended.load(), 0) << "a stop is no end of the stream";
}

TEST(UrlStream, PlaysThroughAMixerAtAnotherRate) {
    auto server = LiveServer();
    auto stream = TUrlStream::Create(server->Url("/stream"), {});
    constexpr int MixerRate = 44100;
    TMixer mixer(MixerRate);
    mixer.SetInput(stream);

    std::vector<float> out;
    std::vector<float> block(2048);
    const auto end = TClock::now() + 15s;
    while (out.size() < static_cast<std::size_t>(MixerRate) * 2 * 2 && TClock::now() < end) {
        const std::size_t got = mixer.GetData(block.data(), block.size() * sizeof(float));
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got / sizeof(float)));
        if (got == 0) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ExpectSine(out, MixerRate, 1e-6);
}
