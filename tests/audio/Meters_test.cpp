#include "Meters.h"
#include "Mixer.h"
#include "PushStream.h"

#include <gtest/gtest.h>

TEST(PeakMeter, TakesTheLargestMagnitudePerChannelOfTheLastBlock) {
    TPeakMeter meter;
    std::vector<float> block(1024, 0.0f); // 4096 bytes = 512 frames
    block[2 * 10] = 0.3f;
    block[2 * 20] = -0.9f;
    block[2 * 30 + 1] = 0.5f;
    block[2 * 40 + 1] = -0.25f;
    block[2 * 511 + 1] = -0.1f;
    meter.Process(block.data(), 4096);
    EXPECT_FLOAT_EQ(meter.Left(), 0.9f);
    EXPECT_FLOAT_EQ(meter.Right(), 0.5f);

    // Only whole frames count: a sample past 4096 bytes is not looked at.
    std::vector<float> longer(1026, 0.0f);
    longer[1024] = 1.0f;
    meter.Process(longer.data(), 4096);
    EXPECT_EQ(meter.Left(), 0.0f) << "a quiet block replaces the last one: no hold";

    std::fill(block.begin(), block.end(), 0.0f);
    block[2 * 511] = 2.0f; // above full scale
    meter.Process(block.data(), 4096);
    EXPECT_FLOAT_EQ(meter.Left(), 2.0f);
    meter.Reset();
    EXPECT_EQ(meter.Left(), 0.0f);
    EXPECT_EQ(meter.Right(), 0.0f);
}

TEST(ByteCounter, AddsUpEveryPulledBlock) {
    TMixer mixer(44100);
    auto input = std::make_shared<TPushStream>(44100, 2);
    mixer.SetInput(input);
    auto counter = std::make_shared<TByteCounter>();
    mixer.AddProcessor(counter, 0);
    std::vector<float> chunk(441 * 2, 0.1f);
    std::vector<float> out(4096);
    std::uint64_t pulled = 0;
    for (int i = 0; i < 1000; ++i) {
        input->Put(chunk.data(), chunk.size() * 4);
        pulled += mixer.GetData(out.data(), out.size() * 4);
    }
    pulled += mixer.GetData(out.data(), out.size() * 4);
    EXPECT_EQ(pulled, 441000u * 8);
    EXPECT_EQ(counter->Bytes(), pulled);
    EXPECT_DOUBLE_EQ(mixer.Bytes2Seconds(counter->Bytes()), 10.0);
}
