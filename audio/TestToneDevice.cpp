#include "TestToneDevice.h"

#include "basserrors.h"

#include <algorithm>
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
    const std::size_t cycleFrames = FCycle.size() / 2;
    // 100 buffers make one second exactly, also at rates that are not a
    // multiple of 100 (22050 Hz: 220 or 221 frames a buffer).
    const std::size_t rate = static_cast<std::size_t>(FRate);
    std::vector<float> buffer((rate / 100 + 1) * 2);
    std::size_t at = 0;
    unsigned tick = 0;
    auto next = std::chrono::steady_clock::now();
    while (FRunning.load()) {
        const std::size_t frames = rate * (tick + 1) / 100 - rate * tick / 100;
        tick = (tick + 1) % 100;
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, cycleFrames - at);
            std::copy_n(&FCycle[at * 2], n * 2, &buffer[done * 2]);
            done += n;
            at = (at + n) % cycleFrames;
        }
        PushToClients(buffer.data(), frames * 2 * sizeof(float));
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
}
