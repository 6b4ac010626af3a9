#pragma once

#include "AudioDevices.h"

#include <atomic>
#include <thread>

// A device that captures a generated stereo sine in real time from a thread of
// its own, in 10 ms buffers. Used where no sound card is at hand (tests, the
// benchmarks) and as the model of a capture backend.
class TTestToneDevice : public TDeviceInfoWithClients {
public:
    TTestToneDevice(int index, std::string name, int rate, double frequency, float amplitude);
    ~TTestToneDevice() override;

    int OpenCount() const { return FOpenCount.load(); }
    bool IsOpen() const { return FRunning.load(); }

protected:
    void Open(int rate) override;
    void Close() override;
    int GetSampleRate() override { return FRate; }

private:
    void Capture();

    const int FRate;
    const double FFrequency;
    const float FAmplitude;
    std::atomic<bool> FRunning{false};
    std::atomic<int> FOpenCount{0};
    std::thread FThread;
};
