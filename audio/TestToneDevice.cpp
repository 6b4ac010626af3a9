#include "TestToneDevice.h"

#include "basserrors.h"

#include <chrono>
#include <cmath>
#include <numbers>
#include <pthread.h>

TTestToneDevice::TTestToneDevice(int index, std::string name, double frequency, float amplitude)
    : TDeviceInfoWithClients(index, std::move(name)), FFrequency(frequency), FAmplitude(amplitude) {}

TTestToneDevice::~TTestToneDevice() { Close(); }

void TTestToneDevice::Open(int rate) {
    if (FRunning.load()) {
        return;
    }
    if (rate <= 0) {
        throw TAudioError("Init", BassError::Freq);
    }
    FRate = rate;
    // One second holds a whole number of periods of any whole-hertz tone, so
    // looping it is seamless and costs no sine per sample.
    FCycle.resize(static_cast<std::size_t>(rate) * 2);
    const double step = 2 * std::numbers::pi * FFrequency / rate;
    for (std::size_t i = 0; i < FCycle.size() / 2; ++i) {
        FCycle[2 * i] = FCycle[2 * i + 1] = FAmplitude * static_cast<float>(std::sin(step * static_cast<double>(i)));
    }
    FRunning = true;
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
    const std::size_t cycleFrames = FCycle.size() / 2;
    std::size_t at = 0;
    auto next = std::chrono::steady_clock::now();
    while (FRunning.load()) {
        // 100 buffers of 10 ms make one second: each buffer lies inside the cycle.
        PushToClients(&FCycle[at * 2], frames * 2 * sizeof(float));
        at = (at + frames) % cycleFrames;
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
}
