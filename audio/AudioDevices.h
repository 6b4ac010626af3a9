#pragma once

#include "PushStream.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// An input a slot can record from.
class TDeviceInfo {
public:
    TDeviceInfo(int index, std::string name) : Index(index), Name(std::move(name)) {}
    virtual ~TDeviceInfo() = default;

    TDeviceInfo(const TDeviceInfo&) = delete;
    TDeviceInfo& operator=(const TDeviceInfo&) = delete;

    virtual bool HasControlPanel() const { return false; }
    virtual void ShowControlPanel() {}

    const int Index;        // number within its driver family (pair number for JACK pairs)
    const std::string Name; // display name
};

// An input that several slots share: the first client opens it, every client
// gets a push stream of its own with a copy of each captured buffer, the last
// client closes it.
//
// Threads: AddClient and RemoveClient come from slot operations (serialised by
// FOpenLock, which is held across Open and Close). PushToClients comes from the
// backend's capture thread and takes only FClientsLock, which nobody holds
// while opening or closing, so a backend may wait for its capture thread in
// Close without a deadlock.
class TDeviceInfoWithClients : public TDeviceInfo {
public:
    using TDeviceInfo::TDeviceInfo;

    // Opens the device for the first client (its errors go to the caller and
    // nothing is added) and returns a stream at the device's actual rate.
    std::shared_ptr<TPushStream> AddClient(int rate);
    // Detaches the stream; one that is not a client is ignored. The last
    // client closes the device.
    void RemoveClient(const TPushStream* stream);

    std::size_t ClientCount() const;

    // Called by the capture thread with interleaved stereo float audio. Never
    // throws: a failure counts as the loss of the device.
    void PushToClients(const void* buffer, std::size_t bytes) noexcept;

    // A device that failed while open (unplugged, its server gone) is lost: its
    // clients keep their streams, which simply receive nothing.
    bool Lost() const { return FLostCode.load() != 0; }
    // The error code of the loss (BassError), 0 while the device runs.
    int LostCode() const { return FLostCode.load(); }
    // Reopens a lost device for its clients; true when it runs again (or was
    // not lost). Called from the controller's thread, every few seconds.
    bool Recover();
    // Called from the controller's thread at every tick: a capture that has
    // stopped delivering without a word (its thread blocked inside the
    // backend's library, as ALSA's pulse plugin does when its server goes
    // away) counts as lost.
    void Watch();

    // Captures that did not stop when closed and were left behind, blocked
    // inside the backend's library, since start-up.
    virtual std::uint64_t AbandonedCaptures() const { return 0; }

    // Seconds of audio each client stream can hold before it drops.
    static constexpr double ClientBufferSeconds = 10.0;

protected:
    // Open starts capture (2 channels of float) and throws TAudioError with the
    // failing step ("Init", "RecordStart", ...) on failure, leaving nothing open.
    // Close stops it and must be safe to call on a device that is lost.
    virtual void Open(int rate) = 0;
    virtual void Close() = 0;
    virtual int GetSampleRate() = 0;
    // True while the device is open but its capture has stopped delivering.
    virtual bool Stalled() const { return false; }

    // Called by a backend (from any thread) when an open device fails for good.
    void ReportLost(int code) { FLostCode.store(code != 0 ? code : 1); }

private:
    std::atomic<int> FLostCode{0};
    int FOpenedRate = 0; // guarded by FOpenLock: the rate the first client asked for
    std::mutex FOpenLock;
    mutable std::mutex FClientsLock;
    std::vector<std::shared_ptr<TPushStream>> FClients; // guarded by FClientsLock
};

// The process's list of selectable inputs, in the order they were found. IDs
// ("WDM:%d", "ASIO:%d:%d", "WASAPI:%s") compare without regard to case.
class TDeviceCatalogue {
public:
    TDeviceCatalogue() = default;
    TDeviceCatalogue(const TDeviceCatalogue&) = delete;
    TDeviceCatalogue& operator=(const TDeviceCatalogue&) = delete;

    void Add(std::string id, std::unique_ptr<TDeviceInfoWithClients> entry);

    // Position of the ID in the list, or -1.
    int FindDevice(const std::string& id) const;
    std::size_t Count() const { return FDevices.size(); }
    const std::string& Id(std::size_t i) const { return FDevices.at(i).first; }
    TDeviceInfoWithClients& Entry(std::size_t i) const { return *FDevices.at(i).second; }
    // Over every input, for the status.
    std::uint64_t AbandonedCaptures() const;

private:
    std::vector<std::pair<std::string, std::unique_ptr<TDeviceInfoWithClients>>> FDevices;
};

// Lists every input once at start-up: the ALSA devices, then the pairs of
// capture ports of a running JACK server, then the PulseAudio sources. What
// is worth a line at start-up (no JACK server) goes to `note`.
void BuildDeviceCatalogue(TDeviceCatalogue& catalogue, const std::function<void(const std::string&)>& note = {});
