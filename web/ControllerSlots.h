#pragma once

#include "WebSlots.h"

#include <map>
#include <mutex>

class TSlotInfo;
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class TController;

// Work that may take long (an encoder probe on a loaded machine), each on a
// thread of its own, so that a request can stop waiting for it.
//
// Threads: Run is called from request threads; FLock guards FRunning. The
// destructor joins every thread (each probe ends at its own time limits).
class TWaitedWork {
public:
    TWaitedWork() = default;
    ~TWaitedWork();
    TWaitedWork(const TWaitedWork&) = delete;
    TWaitedWork& operator=(const TWaitedWork&) = delete;

    // What `work` returned, or nothing when it took longer than `wait` (it then
    // runs to its end unobserved) or too many runs are still busy.
    std::optional<std::string> Run(std::function<std::string()> work, std::chrono::milliseconds wait);

private:
    static constexpr std::size_t MaxRunning = 8;
    struct TRunning {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Done;
    };
    std::mutex FLock;
    std::list<TRunning> FRunning; // guarded by FLock
};

// The controller's slots for request threads. The slot list is fixed while the
// server runs (made before it starts, freed after it stopped).
class TControllerSlots : public TWebSlots {
public:
    explicit TControllerSlots(TController& controller) : FController(controller) {}

    int Count() const override;
    TWebSlotState State(int index) const override;
    std::unique_ptr<TCatalogue> OpenCatalogue(int index, const std::string& folder) override;
    bool PostCommand(TSlotCommand command) override;
    void PostLog(int index, const std::string& message) override;
    void PostServerLog(const std::string& message) override;
    std::chrono::system_clock::time_point Now() const override;
    double UptimeSeconds() const override;
    std::uint64_t AbandonedCaptures() const override;
    std::string Version() const override;
    std::optional<std::uint64_t> FreeSpace(const std::string& folder) const override;
    std::optional<TWebSlotSettings> ReadSettings(int index) override;
    TSettingsOutcome ChangeSettings(int index, TSettingsEdit edit, const std::string& origin) override;
    std::optional<int> NextSlotCount() override;
    bool SetNextSlotCount(int count, const std::string& origin) override;
    std::vector<int> OfferedSamplerates(TSlotFormat format) const override;
    std::vector<int> OfferedBitrates(TSlotFormat format, int samplerate, TSlotMode mode) const override;

    // How long a request waits for the controller's thread (a modal message
    // box does not stop it; a shutdown does).
    static constexpr auto ControllerWait = std::chrono::seconds(5);
    // How long a request waits for a slot's lock, which the slot's own work
    // may hold for long (a folder that hangs), before it answers from the
    // state it read last; a page of many such slots still answers at once.
    static constexpr auto SlotWait = std::chrono::milliseconds(200);
    // How long a change of settings waits for the encoder's answer.
    static constexpr auto ProbeWait = std::chrono::seconds(10);

private:
    TWebSlotState ReadState(const TSlotInfo& slot) const;

    template <class R> std::optional<R> OnController(std::function<R()> work);

    TController& FController;
    mutable std::mutex FLastLock;                      // guards FLastStates; held for a copy
    mutable std::map<int, TWebSlotState> FLastStates;  // each slot's last state read under its lock
    TWaitedWork FProbes; // declared last: joined before anything else here goes
};
