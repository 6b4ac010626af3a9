#include "AlarmHook.h"

#include "ChildProcess.h"
#include "TextTools.h"

#include <pthread.h>
#include <system_error>

TAlarmHook::TAlarmHook(const std::string& commandLine, TLog log, std::chrono::milliseconds limit)
    : FCommand(SplitCommandLine(commandLine)), FLog(std::move(log)), FLimit(limit) {}

TAlarmHook::~TAlarmHook() {
    FCancel = true;
    for (auto& run : FRuns) {
        run.Thread.join();
    }
}

void TAlarmHook::Run(int slot, const std::string& name, const TAlarmChange& change) {
    if (FCommand.empty()) {
        return;
    }
    FRuns.remove_if([](TRun& run) {
        if (!run.Done.load()) {
            return false;
        }
        run.Thread.join();
        return true;
    });
    if (FRuns.size() >= MaxRunning) {
        FLog(slot, "Alarm hook not run: " + std::to_string(MaxRunning) + " runs are still going");
        return;
    }
    std::vector<std::string> argv = FCommand;
    argv.insert(argv.end(), {AlarmKindName(change.Kind), change.Raised ? "raise" : "clear", std::to_string(slot),
                             name, change.Text});
    TRun& run = FRuns.emplace_back();
    try {
        run.Thread = std::thread([this, slot, argv = std::move(argv), &run]() mutable {
            Execute(slot, std::move(argv));
            run.Done = true;
        });
    } catch (const std::system_error& e) {
        FRuns.pop_back();
        FLog(slot, std::string("Alarm hook not run: ") + e.what());
    }
}

void TAlarmHook::Execute(int slot, std::vector<std::string> argv) noexcept {
    pthread_setname_np(pthread_self(), "alarm-hook");
    try {
        int lines = 0;
        const TBoundedRun result = RunBounded(argv, FLimit, FCancel, [&](const std::string& line) {
            if (++lines <= MaxLines) {
                FLog(slot, "Alarm hook: " + line);
            } else if (lines == MaxLines + 1) {
                FLog(slot, "Alarm hook: (more output left out)");
            }
        });
        if (result.Killed && !FCancel.load()) {
            FLog(slot, Format("Alarm hook stopped after %g s", std::chrono::duration<double>(FLimit).count()));
        } else if (!result.Killed && result.ExitStatus != 0) {
            FLog(slot, "Alarm hook ended with exit status " + std::to_string(result.ExitStatus));
        }
    } catch (const std::system_error& e) {
        FLog(slot, std::string("Alarm hook cannot start: ") + e.what());
    } catch (...) {
        // Out of memory in a hook's thread: the recording does not depend on it.
    }
}
