#pragma once

#include "WebSlots.h"

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
    std::string Version() const override;
    std::optional<std::uint64_t> FreeSpace(const std::string& folder) const override;

private:
    TController& FController;
};
