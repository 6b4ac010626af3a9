#include "ExternalEncoder.h"
#include "Mixer.h"
#include "PushStream.h"
#include "TestSupport.h"
#include "basserrors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace TestSupport;

namespace {

constexpr int Rate = 44100;

// Sends `seconds` of a sine at half scale through a mixer into `encoder`,
// pulling the way a slot's pull thread does: 440 Hz on the left, `right` Hz on
// the right.
void Record(const std::shared_ptr<TExternalEncoder>& encoder, double seconds, double right = 440.0) {
    TMixer mixer(Rate);
    auto input = std::make_shared<TPushStream>(Rate, 2);
    mixer.SetInput(input);
    const auto handle = mixer.AddEncoder(encoder);
    const auto frames = static_cast<std::size_t>(seconds * Rate);
    auto sine = StereoSine(Rate, 440.0, 0.5f, frames);
    const auto other = StereoSine(Rate, right, 0.5f, frames);
    for (std::size_t i = 1; i < sine.size(); i += 2) {
        sine[i] = other[i];
    }
    std::vector<float> pull(static_cast<std::size_t>(mixer.Seconds2Bytes(2.0) / 4));
    for (std::size_t at = 0; at < frames; at += Rate / 10) {
        const std::size_t n = std::min<std::size_t>(Rate / 10, frames - at);
        input->Put(&sine[at * 2], n * 8);
        mixer.GetData(pull.data(), pull.size() * 4);
    }
    mixer.Remove(handle);
    encoder->Finish();
}

// A mono file of Record(…, 1000.0) holds the mix of both sides at half their level each.
void ExpectMonoMix(const std::string& path) {
    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, 10.0, 0.1) << path;
    EXPECT_EQ(probe.Channels, 1);
    const auto decoded = DecodeToStereoFloat(path, Rate);
    ASSERT_GT(decoded.size(), 2u * Rate * 9);
    EXPECT_NEAR(Goertzel(decoded, 0, Rate, 440.0, Rate, Rate * 8), 0.25, 0.02) << "the left side, halved";
    EXPECT_NEAR(Goertzel(decoded, 0, Rate, 1000.0, Rate, Rate * 8), 0.25, 0.02) << "the right side, halved";
}

void ExpectSineFile(const std::string& path, int channels) {
    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, 10.0, 0.1) << path;
    EXPECT_EQ(probe.Channels, channels);
    EXPECT_EQ(probe.SampleRate, Rate);
    const auto decoded = DecodeToStereoFloat(path, Rate);
    ASSERT_GT(decoded.size(), 2u * Rate * 9);
    EXPECT_NEAR(Goertzel(decoded, 0, Rate, 440.0, Rate, Rate * 8), 0.5, 0.03);
    EXPECT_NEAR(ZeroCrossings(decoded, 1, Rate, Rate * 8) / 2.0 / 8.0, 440.0, 2.0);
}

} // namespace

TEST(SplitCommandLine, SplitsLikeAShellWithoutExpanding) {
    EXPECT_EQ(SplitCommandLine("lame --flush -m s -r -s 44100 -b 128  - \"/rec/My Slot/a.mp3\""),
              (std::vector<std::string>{"lame", "--flush", "-m", "s", "-r", "-s", "44100", "-b", "128", "-",
                                        "/rec/My Slot/a.mp3"}));
    EXPECT_EQ(SplitCommandLine("  a   b\t c  "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine("x \"\" y"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_EQ(SplitCommandLine("pre\"mid dle\"post $HOME *"),
              (std::vector<std::string>{"premid dlepost", "$HOME", "*"}));
    EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(ExternalEncoder, LameWritesTenSecondsOfStereoMp3) {
    TTempDir dir;
    const auto path = dir.File("2011-03-15-14-00-00.mp3");
    auto encoder = std::make_shared<TExternalEncoder>(
        "lame --flush -m s -r -s 44100 -b 128  - \"" + path + "\"", TExternalEncoder::TChannels::Stereo);
    Record(encoder, 10.0);
    EXPECT_FALSE(encoder->Died()) << encoder->LastErrorLine();
    EXPECT_EQ(encoder->DroppedBytes(), 0u);
    ExpectSineFile(path, 2);
}

TEST(ExternalEncoder, LameInMonoGetsADownmixAndKeepsTheLength) {
    TTempDir dir;
    const auto path = dir.File("with space/mono.mp3");
    std::filesystem::create_directories(dir.Path() / "with space");
    auto encoder = std::make_shared<TExternalEncoder>(
        "lame --flush -m m -r -s 44100 -b 64  - \"" + path + "\"", TExternalEncoder::TChannels::MonoDownmix);
    Record(encoder, 10.0, 1000.0);
    ExpectMonoMix(path);
}

TEST(ExternalEncoder, OggencWritesStereoAndDownmixedOgg) {
    TTempDir dir;
    for (const std::string mode : {"", "--downmix"}) {
        const auto path = dir.File("rec" + mode + ".ogg");
        auto encoder = std::make_shared<TExternalEncoder>(
            "oggenc -r -R 44100 -b 128 -m 16 " + mode + "  -o \"" + path + "\" -",
            TExternalEncoder::TChannels::Stereo);
        Record(encoder, 10.0, mode.empty() ? 440.0 : 1000.0);
        EXPECT_FALSE(encoder->Died()) << encoder->LastErrorLine();
        if (mode.empty()) {
            ExpectSineFile(path, 2);
        } else {
            ExpectMonoMix(path);
        }
    }
}

TEST(ExternalEncoder, AMissingProgramFailsWithCode2) {
    try {
        TExternalEncoder encoder("no-such-encoder-program -r - \"/tmp/x.mp3\"", TExternalEncoder::TChannels::Stereo);
        FAIL() << "started a program that does not exist";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), 2);
        EXPECT_STREQ(e.what(), "can't open the file (BASS error 2)");
    }
    EXPECT_THROW(TExternalEncoder("   ", TExternalEncoder::TChannels::Stereo), TAudioError);
}

TEST(ExternalEncoder, AProgramThatExitsAtOnceIsReportedAsDiedWithoutHarm) {
    auto encoder = std::make_shared<TExternalEncoder>("lame --no-such-option -r - /dev/null",
                                                      TExternalEncoder::TChannels::Stereo);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!encoder->Died() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(encoder->Died());
    EXPECT_NE(encoder->ExitStatus(), 0);
    EXPECT_FALSE(encoder->LastErrorLine().empty());

    // Writing into the dead program neither blocks nor kills us.
    std::vector<float> block(88200 * 2, 0.1f);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        encoder->Process(block.data(), block.size() * 4);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(encoder->DroppedBytes(), 5u * block.size() * 4);
    encoder->Finish();
    EXPECT_TRUE(encoder->Died()) << "a death before the stop stays on record";
}

TEST(ExternalEncoder, APipeClosedByTheProgramIsReportedAsDied) {
    // head reads a little and leaves: the next writes meet a broken pipe.
    auto encoder = std::make_shared<TExternalEncoder>("head -c 1000", TExternalEncoder::TChannels::Stereo);
    std::vector<float> block(44100 * 2, 0.1f);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (encoder->DroppedBytes() == 0 && std::chrono::steady_clock::now() < deadline) {
        encoder->Process(block.data(), block.size() * 4);
    }
    EXPECT_GT(encoder->DroppedBytes(), 0u) << "what the program no longer takes is counted";
    EXPECT_TRUE(encoder->Died());
    encoder->Finish();
    EXPECT_EQ(encoder->ExitStatus(), 0);
}

TEST(ExternalEncoder, AProgramThatDoesNotEndAfterItsInputClosesIsKilled) {
    // sleep never reads its input, so closing it does not end the program.
    auto encoder = std::make_shared<TExternalEncoder>("sleep 30", TExternalEncoder::TChannels::Stereo);
    const auto start = std::chrono::steady_clock::now();
    encoder->FinishWithin(std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(encoder->ExitStatus(), 128 + 9);
    EXPECT_FALSE(encoder->Died()) << "it was alive until we stopped it";
}
