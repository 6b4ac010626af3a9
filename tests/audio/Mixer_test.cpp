#include "Mixer.h"
#include "PushStream.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace TestSupport;

namespace {

// Pulls the mixer in 4096-byte blocks until it delivers nothing; returns the audio.
std::vector<float> Drain(TMixer& mixer) {
    std::vector<float> all;
    std::vector<float> block(1024);
    for (;;) {
        const std::size_t got = mixer.GetData(block.data(), block.size() * sizeof(float));
        if (got == 0) {
            return all;
        }
        all.insert(all.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got / sizeof(float)));
    }
}

double Db(double ratio) { return 20 * std::log10(ratio); }

} // namespace

TEST(Mixer, DeliversNothingWithoutInput) {
    TMixer mixer(44100);
    std::vector<float> block(1024, 7.0f);
    EXPECT_EQ(mixer.GetData(block.data(), 4096), 0u);
    auto input = std::make_shared<TPushStream>(44100, 2);
    mixer.SetInput(input);
    EXPECT_EQ(mixer.GetData(block.data(), 4096), 0u) << "an empty input gives nothing, not silence";
}

TEST(Mixer, ResamplesA1kHzSineFrom48000To44100) {
    constexpr int InRate = 48000;
    constexpr int OutRate = 44100;
    constexpr std::size_t InFrames = InRate * 5;
    TMixer mixer(OutRate);
    auto input = std::make_shared<TPushStream>(InRate, 2);
    mixer.SetInput(input);

    const auto sine = StereoSine(InRate, 1000.0, 0.5f, InFrames);
    std::vector<float> out;
    std::vector<float> block(1024);
    // Interleave small puts with pulls, as capture and the pull thread do.
    for (std::size_t at = 0; at < InFrames; at += 480) {
        input->Put(&sine[at * 2], 480 * 8);
        if ((at / 480) % 10 == 9) {
            auto part = Drain(mixer);
            out.insert(out.end(), part.begin(), part.end());
        }
    }
    auto rest = Drain(mixer);
    out.insert(out.end(), rest.begin(), rest.end());

    const std::size_t frames = out.size() / 2;
    EXPECT_NEAR(static_cast<double>(frames), OutRate * 5.0, 512.0) << "within one 4096-byte block";

    // Measure on whole seconds in the middle, clear of the filter's start.
    const std::size_t first = OutRate / 2;
    const std::size_t span = OutRate * 4;
    for (int ch = 0; ch < 2; ++ch) {
        const double amplitude = Goertzel(out, ch, OutRate, 1000.0, first, span);
        EXPECT_NEAR(Db(amplitude / 0.5), 0.0, 0.1) << "channel " << ch;
        const double frequency = ZeroCrossings(out, ch, first, span) / 2.0 / 4.0;
        EXPECT_NEAR(frequency, 1000.0, 1.0) << "channel " << ch;
    }
}

TEST(Mixer, SpreadsMonoSourcesToBothChannels) {
    for (int inRate : {44100, 22050}) {
        TMixer mixer(44100);
        auto input = std::make_shared<TPushStream>(inRate, 1);
        mixer.SetInput(input);
        std::vector<float> mono(static_cast<std::size_t>(inRate));
        for (std::size_t i = 0; i < mono.size(); ++i) {
            mono[i] = 0.25f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / inRate));
        }
        input->Put(mono.data(), mono.size() * sizeof(float));
        auto out = Drain(mixer);
        ASSERT_GT(out.size(), 2u * 40000) << "rate " << inRate;
        for (std::size_t i = 0; i < out.size(); i += 2) {
            ASSERT_EQ(out[i], out[i + 1]) << "frame " << i / 2;
        }
        EXPECT_NEAR(Goertzel(out, 0, 44100, 440.0, 4410, 35280), 0.25, 0.25 * 0.0116) << "full level on each side";
        if (inRate == 44100) {
            EXPECT_EQ(out[2 * 1000], mono[1000]) << "no conversion at equal rates";
        }
    }
}

TEST(Mixer, RunsTheChainByPriorityThenEncoders) {
    TMixer mixer(44100);
    auto input = std::make_shared<TPushStream>(44100, 2);
    mixer.SetInput(input);
    std::vector<std::string> order;
    float seenByCallback = 0;

    class TRecorder : public TBlockProcessor {
    public:
        TRecorder(std::vector<std::string>& order, float& seen) : FOrder(order), FSeen(seen) {}
        void Process(float* s, std::size_t) override {
            FOrder.push_back("encoder");
            FSeen = s[0];
        }
        std::vector<std::string>& FOrder;
        float& FSeen;
    };
    float encoderSaw = 0;
    mixer.AddEncoder(std::make_shared<TRecorder>(order, encoderSaw));
    mixer.SetDSP([&](float*, std::size_t) { order.push_back("level"); }, 0);
    mixer.SetDSP([&](float* s, std::size_t) { order.push_back("count"); seenByCallback = s[0]; }, 0);
    mixer.SetDSP([&](float* s, std::size_t bytes) {
        order.push_back("effect");
        for (std::size_t i = 0; i < bytes / 4; ++i) {
            s[i] *= 2;
        }
    }, 100);
    mixer.SetDSP([&](float*, std::size_t) { order.push_back("late"); }, -5);

    float frame[2] = {0.25f, 0.25f};
    input->Put(frame, sizeof frame);
    float out[2];
    ASSERT_EQ(mixer.GetData(out, sizeof out), 8u);
    EXPECT_EQ(order, (std::vector<std::string>{"effect", "level", "count", "late", "encoder"}));
    EXPECT_EQ(seenByCallback, 0.5f) << "callbacks see the effect's output";
    EXPECT_EQ(encoderSaw, 0.5f);
    EXPECT_EQ(out[0], 0.5f) << "the caller gets the processed block";
}

TEST(Mixer, RemovalIsSafeAgainstAConcurrentPull) {
    TMixer mixer(48000);
    auto input = std::make_shared<TPushStream>(48000, 2);
    mixer.SetInput(input);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::vector<float> block(960, 0.1f);
        while (!stop) {
            input->Put(block.data(), block.size() * 4);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread puller([&] {
        std::vector<float> block(2048);
        while (!stop) {
            mixer.GetData(block.data(), block.size() * 4);
        }
    });
    int violations = 0;
    for (int i = 0; i < 300; ++i) {
        auto calls = std::make_shared<std::atomic<int>>(0);
        const auto handle = mixer.SetDSP([calls](float*, std::size_t) { calls->fetch_add(1); }, i % 3);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        ASSERT_TRUE(mixer.Remove(handle));
        const int after = calls->load();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        violations += calls->load() != after; // called after Remove returned
        EXPECT_FALSE(mixer.Remove(handle));
        if (i % 50 == 0) {
            mixer.RemoveInput(input.get());
            mixer.SetInput(input);
        }
    }
    stop = true;
    puller.join();
    feeder.join();
    EXPECT_EQ(violations, 0);
}

TEST(Mixer, ConvertsBetweenBytesAndSeconds) {
    TMixer mixer(44100);
    EXPECT_EQ(mixer.Seconds2Bytes(2.0), 705600u);
    EXPECT_FLOAT_EQ(static_cast<float>(mixer.Bytes2Seconds(1270080000ull)), 3600.0f);
    TMixer fast(48000);
    EXPECT_EQ(fast.Seconds2Bytes(1.0), 384000u);
}
