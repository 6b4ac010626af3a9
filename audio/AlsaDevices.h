#pragma once

#include "AudioDevices.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Lets a capture thread call back into its device only while it is that
// device's current capture. Open gives each capture a generation; Close
// starts the next, waiting for a call in progress, so that once Close has
// returned a capture given up on (blocked in ALSA's library past the stop
// timeout) never reaches the device again, even when it wakes after a new
// capture has opened. Shared by the device and its captures, so that it
// outlives a device destroyed before an abandoned thread wakes.
class TCaptureGate {
public:
    std::uint64_t Open() {
        std::lock_guard guard(FLock);
        return ++FGeneration;
    }
    void Close() {
        std::lock_guard guard(FLock);
        ++FGeneration;
    }
    // Runs `call` when `generation` is still the current one; false when not.
    template <class TCall>
    bool Call(std::uint64_t generation, TCall&& call) {
        std::lock_guard guard(FLock);
        if (generation != FGeneration) {
            return false;
        }
        call();
        return true;
    }

private:
    std::mutex FLock; // held for a generation's change or one call back
    std::uint64_t FGeneration = 0;
};

// An ALSA capture device ("WDM" inputs): position 0 is ALSA's default PCM, then
// every card's capture device, opened through the plug layer so any rate works.
class TWDMDeviceInfo : public TDeviceInfoWithClients {
public:
    // `pcmName` is what ALSA opens ("default", "plughw:1,0").
    TWDMDeviceInfo(int index, std::string name, std::string pcmName);
    ~TWDMDeviceInfo() override;

    const std::string& PcmName() const { return FPcmName; }
    int OpenedRate() const { return FOpenedRate; }
    std::uint64_t AbandonedCaptures() const override { return FAbandoned.load(); }

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
    const std::shared_ptr<TCaptureGate> FGate = std::make_shared<TCaptureGate>();
    std::atomic<std::uint64_t> FAbandoned{0}; // captures given up on since start-up
};

// Adds "WDM:0" (the default PCM) and one "WDM:%d" per card capture device.
void AddAlsaDevices(TDeviceCatalogue& catalogue);
