#include "DelayEffect.h"
#include "Meters.h"
#include "Mixer.h"
#include "PushStream.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {
constexpr int Rate = 44100;
constexpr std::size_t Block = 512; // frames per pull: 4096 bytes
} // namespace

TEST(DelayEffect, AnImpulseAppearsExactlyDelaySecondsLaterAndTheMetersSeeItThere) {
    constexpr int Delay = 2;
    constexpr std::size_t ImpulseAt = 1234;
    constexpr std::size_t Total = Rate * 3 + 777;
    TMixer mixer(Rate);
    auto input = std::make_shared<TPushStream>(Rate, 2);
    mixer.SetInput(input);
    mixer.AddProcessor(std::make_shared<TDelayEffect>(Rate, Delay), 100);
    auto meter = std::make_shared<TPeakMeter>();
    auto counter = std::make_shared<TByteCounter>();
    mixer.AddProcessor(meter, 0);
    mixer.AddProcessor(counter, 0);

    std::vector<float> in(Total * 2, 0.0f);
    in[ImpulseAt * 2] = 0.75f;      // left
    in[ImpulseAt * 2 + 1] = -0.5f;  // right
    ASSERT_EQ(input->Put(in.data(), in.size() * 4), in.size() * 4);

    std::vector<float> out;
    std::vector<float> block(Block * 2);
    std::vector<std::size_t> blocksWithSignal;
    for (std::size_t n = 0;; ++n) {
        const std::size_t got = mixer.GetData(block.data(), block.size() * 4);
        if (got == 0) {
            break;
        }
        if (meter->Left() > 0 || meter->Right() > 0) {
            blocksWithSignal.push_back(n);
            EXPECT_FLOAT_EQ(meter->Left(), 0.75f);
            EXPECT_FLOAT_EQ(meter->Right(), 0.5f);
        }
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got / 4));
    }
    ASSERT_EQ(out.size(), in.size()) << "a delay neither adds nor loses frames";
    EXPECT_EQ(counter->Bytes(), Total * 8);

    const std::size_t expected = ImpulseAt + Delay * Rate;
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        nonZero += out[i] != 0.0f;
    }
    EXPECT_EQ(nonZero, 2u);
    EXPECT_EQ(out[expected * 2], 0.75f);
    EXPECT_EQ(out[expected * 2 + 1], -0.5f);
    EXPECT_EQ(blocksWithSignal, std::vector<std::size_t>{expected / Block});
}

TEST(DelayEffect, AnHourAt96kHzHoldsFourBytesAFrameAndNeverCopiesToGrow) {
    constexpr int HighRate = 96000;
    TDelayEffect delay(HighRate, 3600);
    constexpr std::size_t Frames = HighRate / 10; // one pull
    std::vector<float> block(Frames * 2);
    std::size_t peak = 0;
    for (int i = 0; i < 5 * 60 * 10; ++i) { // five minutes held
        std::fill(block.begin(), block.end(), 0.25f);
        delay.Process(block.data(), block.size() * sizeof(float));
        ASSERT_EQ(block[0], 0.0f) << "still inside the hour of silence";
        peak = std::max(peak, delay.AllocatedBytes());
    }
    const std::size_t held = delay.HeldFrames() * TDelayEffect::BytesPerFrame;
    EXPECT_EQ(delay.HeldFrames(), 5u * 60 * HighRate);
    // At most a block in use and a spare beyond the audio itself, at every step.
    EXPECT_LE(peak, held + 2 * TDelayEffect::BlockFrames * TDelayEffect::BytesPerFrame);
    EXPECT_GE(peak, held);
}

TEST(DelayEffect, OddBlockSizesKeepTheSignalIntact) {
    TDelayEffect delay(100, 1); // 100 frames of delay
    std::vector<float> sent;
    std::vector<float> received;
    int next = 1;
    // Steps of the 16-bit grid, so that the held audio comes back exactly.
    for (std::size_t size : {7u, 130u, 1u, 64u, 250u, 3u, 99u, 300u, 20000u, 16384u}) {
        std::vector<float> block(size * 2);
        for (std::size_t i = 0; i < size; ++i, ++next) {
            block[2 * i] = static_cast<float>(next % 32768) / 32768.0f;
            block[2 * i + 1] = -static_cast<float>(next % 32768) / 32768.0f;
        }
        sent.insert(sent.end(), block.begin(), block.end());
        delay.Process(block.data(), block.size() * 4);
        received.insert(received.end(), block.begin(), block.end());
    }
    ASSERT_EQ(received.size(), sent.size());
    for (std::size_t i = 0; i < received.size(); ++i) {
        const float want = i < 200 ? 0.0f : sent[i - 200];
        ASSERT_EQ(received[i], want) << "sample " << i;
    }
}
