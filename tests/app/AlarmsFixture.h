#pragma once

#include "Catalogue.h"
#include "WebFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

// Slots under a controller with the web server, ticked along with real time
// on the fake clock, with an alarm hook that notes its runs.
class TAlarmsTest : public TWebFixture {
protected:
    // A hook that notes its arguments, one run a line, and says something.
    std::string HookScript() {
        const std::string path = Dir.File("hook.sh");
        std::ofstream(path) << "#!/bin/sh\nprintf '%s|' \"$@\" >> '" << Dir.File("hook.txt")
                            << "'\necho >> '" << Dir.File("hook.txt") << "'\necho \"hook saw $2\"\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    std::vector<std::string> HookRuns() const {
        std::ifstream in(Dir.File("hook.txt"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    // The controller's tick with the fake clock going along with real time;
    // seconds until `done`, or nothing when it did not come within `limit`.
    std::optional<double> TickUntil(const std::function<bool()>& done, double limit) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (done()) {
                return elapsed;
            }
            if (elapsed > limit) {
                return std::nullopt;
            }
            System.Advance(std::chrono::milliseconds(50));
            Controller->timTimerTimer();
            Controller->ProcessCommands();
            WaitSeconds(0.05);
        }
    }
    void TickFor(double seconds) { TickUntil([] { return false; }, seconds); }
    TSlotInfo& Slot(int i) { return *Controller->Slots()[static_cast<std::size_t>(i)]; }
    bool Said(const std::string& text) const { return !LogsContaining(text).empty(); }

    struct TEvent {
        std::string Kind, Start, End, Text;
        bool Ended;
    };
    static std::vector<TEvent> Events(const std::string& folder) {
        TCatalogue db(folder + "/RudazOdudad.db");
        auto q = db.Prepare("SELECT kind, starttime, endtime, text, endtime IS NOT NULL FROM events ORDER BY id");
        std::vector<TEvent> events;
        while (q.Step()) {
            events.push_back({q.ColumnText(0), q.ColumnText(1), q.ColumnText(2), q.ColumnText(3), q.ColumnInt64(4) != 0});
        }
        return events;
    }
    std::string Metric(const std::string& metrics, const std::string& series) const {
        std::istringstream in(metrics);
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with(series + " ")) {
                return line.substr(series.size() + 1);
            }
        }
        return "absent";
    }
};

} // namespace TestSupport
