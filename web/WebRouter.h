#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "RequestChecks.h"
#include "JsonText.h"
#include "WebSlots.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The request handler: the checks of where a request comes from (Host without
// a user, Origin of a POST, failed logins), the access check, then the routing
// table in its order ("/", the web client's files, the web service under
// "/ws/", "/execute"). Any failure while routing becomes status 501 with the
// failure's message.
//
// Threads: HTTPServerCommandGet runs on connection threads, several at once.
// SetAccess is called only while no server runs; the password hash may change
// at any time.
class TWebRouter {
public:
    static constexpr const char* Realm = "Pelorand Rudaz Odudad";

    explicit TWebRouter(TWebSlots& slots) : FSlots(slots) {}

    // `allowedHosts`: comma-separated names taken as Host besides the machine's own;
    // `configuration`: the settings view, which also needs a user.
    void SetAccess(const std::string& user, bool commandExecution, const std::string& allowedHosts = "",
                   bool configuration = false);
    // What the settings view may set: EncoderOptions only with `webEncoderOptions`,
    // a Folder only inside one of `folderRoots`. Called only while no server runs.
    void SetSettingsRules(bool webEncoderOptions, std::vector<std::string> folderRoots);
    void SetPasswordHash(const std::string& hash);
    std::string PasswordHash() const;

    void HTTPServerCommandGet(const THttpRequest& request, THttpResponse& response);

    // Dates and times as the web service writes them.
    static std::string FormatCalendarDateTime(long long days, long long seconds);
    static std::string FormatISODateTime(long long days, long long seconds);
    // The same for seconds since 1970-01-01 00:00 of the local zone.
    static std::string FormatISODateTime(long long localSeconds);
    // The type a recording is served with, by its extension (".mp3", …).
    static std::string AudioContentType(const std::string& extension, const std::string& name);
    // "2011-3-7..." gives "2011-03-07"; a text that does not begin with three
    // "-"-separated numbers gives "".
    static std::string NormalizeDateParam(const std::string& text);
    // A stored time "YYYY-MM-DD hh:mm:ss" as days since 1970-01-01 and seconds
    // of the day; throws std::runtime_error for anything else.
    static std::pair<long long, long long> ParseStoredTime(const std::string& text);

private:
    // Answered with a 404 wherever it is thrown.
    struct TNotFound {};

    // Answers a request that must not reach the routes; false when it may.
    bool Refused(const THttpRequest& request, THttpResponse& response);
    bool Admitted(const THttpRequest& request) const;
    void Route(const THttpRequest& request, THttpResponse& response);
    void SendSlots(THttpResponse& response);
    void SendCalendarEvents(int slot, const THttpRequest& request, THttpResponse& response);
    void SendDayList(int slot, int year, int month, int day, THttpResponse& response);
    // A recording, whole or a single byte range of it: `play` for the page's
    // player (shown inline, the open file too as far as it is written), else
    // the download.
    void SendFile(int slot, int id, const THttpRequest& request, THttpResponse& response, bool play);
    // A span of local time as one file, cut from the recordings it touches
    // and sent as it is made; the stretches no recording holds in a header.
    void SendClip(int slot, const THttpRequest& request, THttpResponse& response);
    // A catalogue name, with '/' as separator, that stays inside the slot's folder.
    static bool IsInsideFolder(std::string_view filename);
    // The alarms: every slot's state (/ws/status), the Prometheus metrics
    // (/metrics) and a slot's alarm events of a week for the calendar.
    void SendStatus(THttpResponse& response);
    void SendMetrics(THttpResponse& response);
    void SendWeekEvents(int slot, const THttpRequest& request, THttpResponse& response);
    void Execute(const THttpRequest& request, THttpResponse& response);
    // The settings view: a slot's settings (GET, or POST a JSON object of the
    // fields to change) and the number of slots at the next start; 403 unless
    // Configuration is on and a user is set.
    void SendSettings(int slot, const THttpRequest& request, THttpResponse& response);
    void SendSlotCount(const THttpRequest& request, THttpResponse& response);
    bool SettingsRefused(THttpResponse& response) const;
    // Why the web may not make the change from `from` to `to` (control characters
    // come earlier); "" when it may. `others`: the other slots' folders and names.
    std::string WebRuleRefusal(const TSlotSettings& from, const TSlotSettings& to,
                               const std::vector<std::pair<std::string, std::string>>& others) const;
    TJson SettingsJson(int index, const TWebSlotSettings& settings) const;
    // "from the web by <user> at <address>", for the log.
    std::string WebOrigin(const THttpRequest& request) const;
    // An error's text for the answer: the slots' folders cut off the paths in it.
    std::string WithoutFolders(std::string text) const;
    // The slot of a path's digits: 501 for a number out of range of int, 404 past the slots.
    int SlotIndex(std::string_view digits) const;
    // Days and seconds of a row's start time; nothing for a damaged one, which
    // is logged the first time it is met.
    std::optional<std::pair<long long, long long>> StartOf(int index, int id, const std::string& text);

    TWebSlots& FSlots;
    std::string FWebServerUser;             // written only while no server runs
    bool FWebServerCommandExecution = true; // written only while no server runs
    bool FWebConfiguration = false;         // written only while no server runs
    THostCheck FHosts;                      // written only while no server runs
    bool FWebEncoderOptions = false;        // written only while no server runs
    std::vector<std::string> FFolderRoots;  // written only while no server runs
    TLoginThrottle FLogins;
    mutable std::mutex FHashLock;           // guards FWebServerPasswordHash
    std::string FWebServerPasswordHash;
    // Clips being made, each a decoder and an encoder at full speed: a few at
    // a time keep the recording's CPU.
    static constexpr int MaxClips = 4;
    std::atomic<int> FClips{0};
    static constexpr std::size_t MaxReportedRows = 10000;
    std::mutex FReportedLock;                    // guards FReportedRows
    std::set<std::pair<int, int>> FReportedRows; // damaged rows already logged: slot, id
};
