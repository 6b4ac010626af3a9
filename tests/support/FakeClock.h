#pragma once

#include "SlotServices.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace TestSupport {

// A settable clock and per-folder free-space figures for TSlotServices.
class TFakeSystem {
public:
    using TTime = std::chrono::system_clock::time_point;

    explicit TFakeSystem(TTime start) : FState(std::make_shared<TState>()) { FState->Now = start; }

    // Local wall-clock time in the TZ in force.
    static TTime Local(int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&t));
    }

    void Set(TTime t) {
        std::lock_guard g(FState->Lock);
        FState->Now = t;
    }
    void Advance(std::chrono::system_clock::duration d) {
        std::lock_guard g(FState->Lock);
        FState->Now += d;
    }
    TTime Now() const {
        std::lock_guard g(FState->Lock);
        return FState->Now;
    }
    void SetFreeSpace(const std::string& folder, std::optional<std::uint64_t> bytes) {
        std::lock_guard g(FState->Lock);
        FState->Free[folder] = bytes;
    }

    TSlotServices Services(const std::string& musicFolder) const {
        auto state = FState;
        return TSlotServices{[state] {
                                 std::lock_guard g(state->Lock);
                                 return state->Now;
                             },
                             [state](const std::string& folder) -> std::optional<std::uint64_t> {
                                 std::lock_guard g(state->Lock);
                                 auto it = state->Free.find(folder);
                                 return it == state->Free.end() ? std::nullopt : it->second;
                             },
                             musicFolder, state->OpenFiles};
    }

private:
    struct TState {
        std::mutex Lock;
        TTime Now;
        std::map<std::string, std::optional<std::uint64_t>> Free;
        std::shared_ptr<TOpenFiles> OpenFiles = std::make_shared<TOpenFiles>();
    };
    std::shared_ptr<TState> FState;
};

// Sets TZ for one test and restores it after.
class TTimeZone {
public:
    explicit TTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) {
            FOld = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TTimeZone() {
        if (FOld) {
            setenv("TZ", FOld->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> FOld;
};

} // namespace TestSupport
