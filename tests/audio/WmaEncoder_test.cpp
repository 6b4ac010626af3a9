#include "TestSupport.h"
#include "WmaEncoder.h"
#include "basserrors.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {
void WriteSine(TWmaEncoder& encoder, int rate, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    const auto sine = StereoSine(rate, 440.0, 0.5f, frames);
    // Uneven block sizes, as the mixer delivers them.
    std::size_t at = 0;
    for (std::size_t step = 1000; at < frames; step = step * 7 % 9973 + 100) {
        const std::size_t n = std::min(step, frames - at);
        encoder.Write(&sine[at * 2], n * 8);
        at += n;
    }
    encoder.Close();
}

int ErrorCodeOf(int rate, int channels, int bitrate, const std::string& path, TWmaEncoder::TKind kind) {
    try {
        TWmaEncoder encoder(rate, channels, bitrate, path, kind);
    } catch (const TAudioError& e) {
        return e.Code();
    }
    return 0;
}
} // namespace

TEST(WmaEncoder, WritesAnAsfFileThatReadsBackWithItsFormat) {
    TTempDir dir;
    struct {
        int Rate;
        int Channels;
    } cases[] = {{44100, 2}, {48000, 1}, {22050, 2}};
    for (const auto& c : cases) {
        const auto path = dir.File("rec-" + std::to_string(c.Rate) + "-" + std::to_string(c.Channels) + ".wma");
        TWmaEncoder encoder(c.Rate, c.Channels, 128000, path);
        WriteSine(encoder, c.Rate, 10.0);
        const auto probe = ProbeAudio(path);
        EXPECT_EQ(probe.Codec, "wmav2") << path;
        // Also the priming frame, the padded last frame and a frame of silence.
        EXPECT_GE(probe.Duration, 10.0) << path;
        EXPECT_LE(probe.Duration, 10.0 + 3 * 2048.0 / c.Rate) << path;
        EXPECT_EQ(probe.SampleRate, c.Rate) << path;
        EXPECT_EQ(probe.Channels, c.Channels) << path;
        const auto decoded = DecodeToStereoFloat(path, c.Rate);
        EXPECT_NEAR(Goertzel(decoded, 0, c.Rate, 440.0, c.Rate, c.Rate * 8), 0.5, 0.05) << path;
    }
}

TEST(WmaEncoder, FailsWithTheCodeThatFitsTheFault) {
    TTempDir dir;
    const auto path = dir.File("x.wma");
    EXPECT_EQ(ErrorCodeOf(44100, 2, 128000, path, TWmaEncoder::TKind::Pro), 44);
    EXPECT_EQ(ErrorCodeOf(44100, 3, 128000, path, TWmaEncoder::TKind::Standard), 6);
    EXPECT_EQ(ErrorCodeOf(96000, 2, 128000, path, TWmaEncoder::TKind::Standard), 25);
    EXPECT_EQ(ErrorCodeOf(44100, 2, 8000, path, TWmaEncoder::TKind::Standard), 20);
    EXPECT_EQ(ErrorCodeOf(44100, 2, 128000, dir.File("missing/folder/x.wma"), TWmaEncoder::TKind::Standard), 2);
    EXPECT_FALSE(std::filesystem::exists(path)) << "a refused start leaves no file";
}

TEST(WmaEncoder, OffersBitRatesAscendingUpTo48kHzAndNoneForPro) {
    const auto rates = TWmaEncoder::GetRates(44100, 2, TWmaEncoder::TKind::Standard);
    EXPECT_EQ(rates, (std::vector<int>{32000, 48000, 64000, 80000, 96000, 128000, 160000, 192000, 256000, 320000}));
    EXPECT_FALSE(TWmaEncoder::GetRates(48000, 1, TWmaEncoder::TKind::Standard).empty());
    EXPECT_TRUE(TWmaEncoder::GetRates(96000, 2, TWmaEncoder::TKind::Standard).empty());
    EXPECT_TRUE(TWmaEncoder::GetRates(44100, 2, TWmaEncoder::TKind::Pro).empty());
}
