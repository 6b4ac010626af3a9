#pragma once

#include "Alarms.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

// Runs the alarm hook ([Alarms] Command) for every raise and clear: the
// command's own words (split as encoder command lines are, no shell), then
// the kind, "raise" or "clear", the slot's index, its name and the text. Each
// run has a thread of its own and at most `limit`; what the program writes and
// how it ended go to the slot's log. A hook that hangs or is missing never
// holds up the caller.
//
// Threads: Run belongs to the controller's thread. The destructor kills what
// still runs and joins the runs' threads.
class TAlarmHook {
public:
    // Called from the runs' threads.
    using TLog = std::function<void(int slot, const std::string& line)>;
    static constexpr std::size_t MaxRunning = 16;
    static constexpr int MaxLines = 20; // of one run's output

    TAlarmHook(const std::string& commandLine, TLog log, std::chrono::milliseconds limit = std::chrono::seconds(30));
    ~TAlarmHook();

    TAlarmHook(const TAlarmHook&) = delete;
    TAlarmHook& operator=(const TAlarmHook&) = delete;

    void Run(int slot, const std::string& name, const TAlarmChange& change);

private:
    struct TRun {
        std::thread Thread;
        std::atomic<bool> Done{false};
    };
    void Execute(int slot, std::vector<std::string> argv) noexcept;

    const std::vector<std::string> FCommand;
    const TLog FLog;
    const std::chrono::milliseconds FLimit;
    std::atomic<bool> FCancel{false};
    std::list<TRun> FRuns; // controller's thread
};
