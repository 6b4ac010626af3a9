#pragma once

#include "AudioDevices.h"

#include <chrono>
#include <memory>
#include <string>

// An ALSA capture device ("WDM" inputs): position 0 is ALSA's default PCM, then
// every card's capture device, opened through the plug layer so any rate works.
class TWDMDeviceInfo : public TDeviceInfoWithClients {
public:
    // `pcmName` is what ALSA opens ("default", "plughw:1,0").
    TWDMDeviceInfo(int index, std::string name, std::string pcmName);
    ~TWDMDeviceInfo() override;

    const std::string& PcmName() const { return FPcmName; }
    int OpenedRate() const { return FOpenedRate; }

protected:
    void Open(int rate) override;
    void Close() override;
    int GetSampleRate() override;
    bool Stalled() const override;

private:
    // How long Close waits for the capture thread before it gives it up.
    static constexpr std::chrono::milliseconds StopTimeout{1000};

    class TCapture; // the open PCM and its capture thread
    const std::string FPcmName;
    int FOpenedRate = 0;
    std::unique_ptr<TCapture> FCapture;
};

// Adds "WDM:0" (the default PCM) and one "WDM:%d" per card capture device.
void AddAlsaDevices(TDeviceCatalogue& catalogue);
