#include "TestToneDevice.h"

#include <chrono>
#include <cmath>
#include <numbers>
#include <pthread.h>
#include <vector>

TTestToneDevice::TTestToneDevice(int index, std::string name, int rate, double frequency, float amplitude)
    : TDeviceInfoWithClients(index, std::move(name)), FRate(rate), FFrequency(frequency), FAmplitude(amplitude) {}

TTestToneDevice::~TTestToneDevice() { Close(); }

void TTestToneDevice::Open(int) {
    if (FRunning.exchange(true)) {
        return;
    }
    FOpenCount.fetch_add(1);
    FThread = std::thread(&TTestToneDevice::Capture, this);
}

void TTestToneDevice::Close() {
    if (!FRunning.exchange(false)) {
        return;
    }
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TTestToneDevice::Capture() {
    pthread_setname_np(pthread_self(), "capture-tone");
    const std::size_t frames = static_cast<std::size_t>(FRate / 100);
    std::vector<float> buffer(frames * 2);
    const double step = 2 * std::numbers::pi * FFrequency / FRate;
    std::uint64_t n = 0;
    auto next = std::chrono::steady_clock::now();
    while (FRunning.load()) {
        for (std::size_t i = 0; i < frames; ++i, ++n) {
            const float v = FAmplitude * static_cast<float>(std::sin(step * static_cast<double>(n % static_cast<std::uint64_t>(FRate * 100))));
            buffer[2 * i] = v;
            buffer[2 * i + 1] = v;
        }
        PushToClients(buffer.data(), buffer.size() * sizeof(float));
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
}
