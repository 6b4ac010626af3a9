#include "PushStream.h"
#include "basserrors.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {
// Stereo frames whose samples count up from `start`, so order is checkable.
std::vector<float> Ramp(std::size_t frames, float start) {
    std::vector<float> v(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        v[2 * i] = start + static_cast<float>(i);
        v[2 * i + 1] = -(start + static_cast<float>(i));
    }
    return v;
}
} // namespace

TEST(PushStream, YieldsWhatWasPutInOrderAcrossTheRingEnd) {
    TPushStream stream(1000, 2, 10.0);
    ASSERT_EQ(stream.CapacityFrames(), 10000u);
    std::vector<float> out(8000 * 2);
    float next = 0;
    float expected = 0;
    for (int round = 0; round < 5; ++round) {
        auto in = Ramp(7000, next);
        ASSERT_EQ(stream.Put(in.data(), in.size() * sizeof(float)), in.size() * sizeof(float));
        next += 7000;
        std::size_t got = stream.Read(out.data(), 8000);
        ASSERT_EQ(got, 7000u);
        for (std::size_t i = 0; i < got; ++i, expected += 1) {
            ASSERT_EQ(out[2 * i], expected);
            ASSERT_EQ(out[2 * i + 1], -expected);
        }
    }
    EXPECT_EQ(stream.DroppedBytes(), 0u);
}

TEST(PushStream, DropsAndCountsWhatWouldOverflowTheBound) {
    TPushStream stream(1000, 2, 1.0); // raised to the 10 s minimum
    EXPECT_EQ(stream.CapacityFrames(), 10000u);
    auto in = Ramp(6000, 0);
    EXPECT_EQ(stream.Put(in.data(), in.size() * sizeof(float)), 6000u * 8);
    EXPECT_EQ(stream.Put(in.data(), in.size() * sizeof(float)), 4000u * 8);
    EXPECT_EQ(stream.DroppedBytes(), 2000u * 8);
    EXPECT_EQ(stream.QueuedFrames(), 10000u);
    // What was kept is the oldest audio, unchanged.
    std::vector<float> out(10000 * 2);
    ASSERT_EQ(stream.Read(out.data(), 10000), 10000u);
    EXPECT_EQ(out[2 * 5999], 5999.0f);
    EXPECT_EQ(out[2 * 6000], 0.0f);
    EXPECT_EQ(out[2 * 9999], 3999.0f);
    EXPECT_EQ(stream.Read(out.data(), 10), 0u);
}

TEST(PushStream, IgnoresPartialFramesAndRefusesBadFormats) {
    TPushStream stream(44100, 2);
    float samples[3] = {1, 2, 3};
    EXPECT_EQ(stream.Put(samples, sizeof samples), 8u);
    EXPECT_EQ(stream.QueuedFrames(), 1u);
    EXPECT_THROW(TPushStream(0, 2), TAudioError);
    EXPECT_THROW(TPushStream(44100, 3), TAudioError);
}

TEST(PushStream, ConcurrentProducerAndConsumerKeepOrder) {
    TPushStream stream(48000, 2);
    constexpr std::size_t Total = 48000 * 30;
    std::thread producer([&] {
        std::size_t sent = 0;
        while (sent < Total) {
            const std::size_t n = std::min<std::size_t>(997, Total - sent);
            auto block = Ramp(n, static_cast<float>(sent));
            // Retry what the bound refused, so nothing is lost in this test.
            std::size_t done = 0;
            while (done < n) {
                done += stream.Put(block.data() + done * 2, (n - done) * 8) / 8;
                if (done < n) {
                    std::this_thread::yield();
                }
            }
            sent += n;
        }
    });
    std::vector<float> out(4096 * 2);
    std::size_t received = 0;
    bool ordered = true;
    while (received < Total) {
        const std::size_t got = stream.Read(out.data(), 4096);
        for (std::size_t i = 0; i < got; ++i) {
            ordered = ordered && out[2 * i] == static_cast<float>(received + i);
        }
        received += got;
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(received, Total);
}
