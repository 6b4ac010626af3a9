#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

// Start and stop commands posted from request threads, carried out in posted
// order by the controller's thread.
inline constexpr int WM_STARTSLOT = 0x401;
inline constexpr int WM_STOPSLOT = 0x402;

struct TSlotCommand {
    int Message; // WM_STARTSLOT or WM_STOPSLOT
    int Index;   // 0-based; anything outside the slots is ignored when carried out
};

class TCommandQueue {
public:
    // More than any operator could want to queue between two ticks: beyond it
    // a flood of requests would only eat memory.
    static constexpr std::size_t MaxCommands = 1000;

    // False, and nothing queued, when MaxCommands wait already.
    bool Post(TSlotCommand command) {
        std::lock_guard guard(FLock);
        if (FCommands.size() >= MaxCommands) {
            return false;
        }
        FCommands.push_back(command);
        return true;
    }

    std::optional<TSlotCommand> Take() {
        std::lock_guard guard(FLock);
        if (FCommands.empty()) {
            return std::nullopt;
        }
        TSlotCommand c = FCommands.front();
        FCommands.pop_front();
        return c;
    }

private:
    std::mutex FLock; // guards FCommands; held only to add or take one
    std::deque<TSlotCommand> FCommands;
};
