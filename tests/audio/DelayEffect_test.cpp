#include "DelayEffect.h"
#include "Meters.h"
#include "Mixer.h"
#include "PushStream.h"

#include <gtest/gtest.h>

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

TEST(DelayEffect, MemoryFollowsWhatIsHeldNotTheDelay) {
    TDelayEffect delay(Rate, 3600);
    std::vector<float> block(Block * 2, 0.1f);
    for (int i = 0; i < 100; ++i) {
        delay.Process(block.data(), block.size() * 4);
        ASSERT_EQ(block[0], 0.0f) << "still inside the first hour of silence";
        std::fill(block.begin(), block.end(), 0.1f);
    }
    EXPECT_EQ(delay.HeldFrames(), 100 * Block);
}

TEST(DelayEffect, OddBlockSizesKeepTheSignalIntact) {
    TDelayEffect delay(100, 1); // 100 frames of delay
    std::vector<float> sent;
    std::vector<float> received;
    float next = 1;
    for (std::size_t size : {7u, 130u, 1u, 64u, 250u, 3u, 99u, 300u}) {
        std::vector<float> block(size * 2);
        for (std::size_t i = 0; i < size; ++i, next += 1) {
            block[2 * i] = next;
            block[2 * i + 1] = -next;
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
