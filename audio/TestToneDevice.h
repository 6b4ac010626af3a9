#pragma once

#include "AudioDevices.h"

#include <atomic>
#include <thread>
#include <vector>

// A device that captures a generated stereo sine in real time from a thread of
// its own, in 10 ms buffers, at the rate its first client asks for (as sound
// cards do). Used where no sound card is at hand (tests, the benchmarks, a
// line-up tone) and as the model of a capture backend.
class TTestToneDevice : public TDeviceInfoWithClients {
public:
    TTestToneDevice(int index, std::string name, double frequency, float amplitude);
    ~TTestToneDevice() override;

    int OpenCount() const { return FOpenCount.load(); }
    bool IsOpen() const { return FRunning.load(); }

protected:
    void Open(int rate) override;
    void Close() override;
    int GetSampleRate() override { return FRate; }

private:
    void Capture();

    const double FFrequency;
    const float FAmplitude;
    int FRate = 0;             // set by Open, before the capture thread starts
    std::vector<float> FCycle; // whole periods of the tone, looped by the capture thread
    std::atomic<bool> FRunning{false};
    std::atomic<int> FOpenCount{0};
    std::thread FThread;
};
