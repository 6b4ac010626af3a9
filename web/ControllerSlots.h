#pragma once

#include "WebSlots.h"

#include <map>
#include <mutex>

class TSlotInfo;
class TController;

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
    std::optional<std::string> ChangeSettings(int index, TSettingsEdit edit, const std::string& origin) override;
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

private:
    TWebSlotState ReadState(const TSlotInfo& slot) const;

    template <class R> std::optional<R> OnController(std::function<R()> work);

    TController& FController;
    mutable std::mutex FLastLock;                      // guards FLastStates; held for a copy
    mutable std::map<int, TWebSlotState> FLastStates;  // each slot's last state read under its lock
};
