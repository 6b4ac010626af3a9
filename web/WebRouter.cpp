#include "WebRouter.h"

#include "JsonText.h"
#include "MimeTypes.h"
#include "TextTools.h"
#include "WebFiles.h"
#include "WebServer.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr long long SecondsPerDay = 86400;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading digits of `s` (possibly none); `s` keeps the rest.
std::string_view TakeDigits(std::string_view& s) {
    std::size_t n = 0;
    while (n < s.size() && IsDigit(s[n])) {
        ++n;
    }
    const std::string_view digits = s.substr(0, n);
    s.remove_prefix(n);
    return digits;
}

// "^" + prefix + "(\d+)": the digits, with `s` left at what follows.
std::optional<std::string_view> Numbered(std::string_view& s, std::string_view prefix) {
    if (!s.starts_with(prefix)) {
        return std::nullopt;
    }
    s.remove_prefix(prefix.size());
    const std::string_view digits = TakeDigits(s);
    if (digits.empty()) {
        return std::nullopt;
    }
    return digits;
}

// The decimal text as an int, or the conversion error's message.
int StrToInt(std::string_view digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            throw std::runtime_error(Format("'%s' is not a valid integer value", std::string(digits).c_str()));
        }
    }
    return static_cast<int>(value);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct TCivil {
    long long Year;
    int Month;
    int Day;
};

TCivil CivilFromDays(long long z) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The date of a day-list path: years 1 to 9999, as a date can be encoded.
long long EncodeDate(int y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > days[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0)) {
        throw std::runtime_error("Invalid argument to date encode");
    }
    return DaysFromCivil(y, m, d);
}

long long FloorDiv(long long a, long long b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

} // namespace

std::pair<long long, long long> TWebRouter::ParseStoredTime(const std::string& text) {
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 || mo < 1 ||
        mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0) {
        throw std::runtime_error(Format("'%s' is not a valid date and time", text.c_str()));
    }
    return {DaysFromCivil(y, mo, d), h * 3600LL + mi * 60LL + s};
}

namespace {

// Start plus a duration, to whole milliseconds as a date-time value holds it,
// then without the fraction of the second.
std::pair<long long, long long> AddSeconds(std::pair<long long, long long> start, float duration) {
    constexpr double Limit = 1e11; // some three thousand years: far past any recording
    const double seconds = std::isfinite(duration) ? std::clamp(static_cast<double>(duration), -Limit, Limit) : 0.0;
    const long long ms = start.second * 1000 + std::llround(seconds * 1000);
    const long long secs = FloorDiv(ms, 1000);
    return {start.first + FloorDiv(secs, SecondsPerDay), secs - FloorDiv(secs, SecondsPerDay) * SecondsPerDay};
}


void SendNotFound(THttpResponse& response) {
    response.Status = 404;
    SendText(response, "not found");
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Rows of one slot whose start lies in [from, to).
struct TRecordingRow {
    int Id;
    std::string StartTime;
    std::optional<float> Duration; // none: NULL and not the open file
};

} // namespace

std::optional<std::pair<long long, long long>> TWebRouter::StartOf(int index, int id,
                                                                   const std::string& text) {
    try {
        return ParseStoredTime(text);
    } catch (const std::runtime_error& e) {
        // One damaged row must not hide the rest of the week; it is told of once.
        bool first = false;
        {
            std::lock_guard guard(FReportedLock);
            if (FReportedRows.size() < MaxReportedRows) {
                first = FReportedRows.emplace(index, id).second;
            }
        }
        if (first) {
            FSlots.PostLog(index,
                           "Recording " + std::to_string(id) + " left out of the web calendar: " + e.what());
        }
        return std::nullopt;
    }
}

namespace {

std::vector<TRecordingRow> QueryRecordings(TWebSlots& slots, int index, const TWebSlotState& state,
                                           const std::string& from, const std::string& to) {
    auto db = slots.OpenCatalogue(index, state.Folder);
    auto query =
        db->Prepare("SELECT id, starttime, duration FROM recordings WHERE starttime >= ? AND starttime < ? ORDER BY id");
    query.Bind(1, from).Bind(2, to);
    std::vector<TRecordingRow> rows;
    while (query.Step()) {
        TRecordingRow row{static_cast<int>(query.ColumnInt64(0)), query.ColumnText(1), std::nullopt};
        if (!query.ColumnIsNull(2)) {
            row.Duration = static_cast<float>(query.ColumnDouble(2));
        } else if (row.Id == state.CurrentRecordingID && state.Recording) {
            row.Duration = state.CurrentDuration;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// A file is open and audio reaches it: an open file whose input is lost or
// whose stream is down does not count as recording.
bool RecordsNow(const TWebSlotState& state) {
    return state.Recording && state.Error.empty();
}

// "/ws/slot/<n>/getfile/<id>..." or "/ws/slot/<n>/play/<id>...".
bool NamesARecording(std::string_view path) {
    if (!Numbered(path, "/ws/slot/")) {
        return false;
    }
    std::string_view play = path;
    return Numbered(path, "/getfile/") || Numbered(play, "/play/");
}

std::string DateParamText(long long days) {
    const TCivil c = CivilFromDays(days);
    return Format("%.4lld-%.2d-%.2d", c.Year, c.Month, c.Day);
}

} // namespace

std::string TWebRouter::FormatCalendarDateTime(long long days, long long seconds) {
    const TCivil c = CivilFromDays(days);
    return Format("%.2d/%.2d/%.4lld %.2lld:%.2lld:%.2lld", c.Month, c.Day, c.Year, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
}

std::string TWebRouter::FormatISODateTime(long long days, long long seconds) {
    const TCivil c = CivilFromDays(days);
    return Format("%.4lld-%.2d-%.2dT%.2lld:%.2lld:%.2lld", c.Year, c.Month, c.Day, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
}

std::string TWebRouter::FormatISODateTime(long long localSeconds) {
    const long long days = FloorDiv(localSeconds, SecondsPerDay);
    return FormatISODateTime(days, localSeconds - days * SecondsPerDay);
}

std::string TWebRouter::AudioContentType(const std::string& extension, const std::string& name) {
    return extension == ".mp3"   ? "audio/mpeg"
           : extension == ".ogg" ? "audio/ogg"
           : extension == ".wma" ? "audio/x-ms-wma"
                                 : TMimeTypes::System().Lookup(name);
}

std::string TWebRouter::NormalizeDateParam(const std::string& text) {
    std::string_view s = text;
    int parts[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (!s.starts_with('-')) {
                return {};
            }
            s.remove_prefix(1);
        }
        const std::string_view digits = TakeDigits(s);
        if (digits.empty()) {
            return {};
        }
        parts[i] = StrToInt(digits);
    }
    return Format("%.4d-%.2d-%.2d", parts[0], parts[1], parts[2]);
}

void TWebRouter::SetAccess(const std::string& user, bool commandExecution, const std::string& allowedHosts,
                           bool configuration) {
    FWebServerUser = user;
    FWebConfiguration = configuration;
    FWebServerCommandExecution = commandExecution;
    FHosts = THostCheck(allowedHosts);
}

void TWebRouter::SetSettingsRules(bool webEncoderOptions, std::vector<std::string> folderRoots) {
    FWebEncoderOptions = webEncoderOptions;
    FFolderRoots = std::move(folderRoots);
}

void TWebRouter::SetPasswordHash(const std::string& hash) {
    std::lock_guard guard(FHashLock);
    FWebServerPasswordHash = hash;
}

std::string TWebRouter::PasswordHash() const {
    std::lock_guard guard(FHashLock);
    return FWebServerPasswordHash;
}

bool TWebRouter::Admitted(const THttpRequest& request) const {
    if (FWebServerUser.empty()) {
        return true;
    }
    const bool userMatches = ConstantTimeEquals(request.CredentialUser, FWebServerUser);
    const bool passwordMatches = ConstantTimeEquals(HashWebServerPassword(request.CredentialPassword), PasswordHash());
    return request.CredentialsGiven && userMatches && passwordMatches;
}

bool TWebRouter::Refused(const THttpRequest& request, THttpResponse& response) {
    // Without a user anyone may read, so a page of another site must not get
    // at the answers through a name of its own that points here.
    if (FWebServerUser.empty() && !FHosts.Allowed(request.Host)) {
        response.Status = 403;
        SendText(response, "Host \"" + HostOfAuthority(request.Host) +
                               "\" is not allowed: without a user this server answers only to its IP addresses, "
                               "localhost, its own names and the names in [Webserver] AllowedHosts.");
        return true;
    }
    // Browsers send stored credentials along with a form of another site.
    if (request.Method == "POST" && !FromOwnOrigin(request)) {
        FSlots.PostServerLog("Refused a cross-site request to " + LogSafe(request.Path) + " from " +
                             LogSafe(!request.Origin.empty() ? request.Origin : request.Referer) + " (" +
                             request.Peer + ")");
        response.Status = 403;
        SendText(response, "Cross-site requests are not allowed.");
        return true;
    }
    if (FWebServerUser.empty()) {
        return false;
    }
    const auto now = FSlots.Now();
    if (FLogins.Blocked(request.Peer, now)) {
        response.Status = 429;
        SendText(response, "Too many failed logins: try again later.");
        return true;
    }
    if (!Admitted(request)) {
        if (request.CredentialsGiven && FLogins.Failed(request.Peer, now)) {
            FSlots.PostServerLog("Too many failed logins from " + request.Peer);
        }
        response.Realm = Realm;
        return true;
    }
    return false;
}

void TWebRouter::HTTPServerCommandGet(const THttpRequest& request, THttpResponse& response) {
    if (Refused(request, response)) {
        return;
    }
    try {
        Route(request, response);
    } catch (const TNotFound&) {
        response = THttpResponse();
        SendNotFound(response);
    } catch (const std::exception& e) {
        response = THttpResponse();
        response.Status = 501;
        SendText(response, WithoutFolders(e.what()));
    }
}

std::string TWebRouter::WithoutFolders(std::string text) const {
    // Longest first, so that a folder inside another one is not cut in two.
    std::vector<std::string> folders;
    for (int i = 0; i < FSlots.Count(); ++i) {
        std::string folder = FSlots.State(i).Folder;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        if (!folder.empty()) {
            folders.push_back(std::move(folder));
        }
    }
    std::sort(folders.begin(), folders.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& folder : folders) {
        for (auto at = text.find(folder); at != std::string::npos; at = text.find(folder, at)) {
            const bool slash = at + folder.size() < text.size() && text[at + folder.size()] == '/';
            text.replace(at, folder.size() + (slash ? 1 : 0), slash ? "" : "the slot's folder");
        }
    }
    return LogText(text);
}

int TWebRouter::SlotIndex(std::string_view digits) const {
    const int index = StrToInt(digits);
    if (index >= FSlots.Count()) {
        throw TNotFound();
    }
    return index;
}

void TWebRouter::Route(const THttpRequest& request, THttpResponse& response) {
    const std::string& path = request.Path;
    if (path == "/ws/settings" && (request.Method == "GET" || request.Method == "POST")) {
        SendSlotCount(request, response);
        return;
    }
    if (request.Method == "POST") {
        std::string_view rest = path;
        if (path == "/execute" && FWebServerCommandExecution) {
            Execute(request, response);
        } else if (const auto digits = Numbered(rest, "/ws/slot/"); digits && rest == "/settings") {
            SendSettings(SlotIndex(*digits), request, response);
        }
        return;
    }
    // HEAD gets the empty default response, but for a recording, whose size
    // and ranges a player may ask for first.
    if (request.Method != "GET" && !(request.Method == "HEAD" && NamesARecording(path))) {
        return;
    }
    if (path == "/") {
        response.Redirect("/index.html");
        return;
    }
    if (const TWebFile* file = FindWebFile(path)) {
        if (file->Data == nullptr) {
            throw std::runtime_error(Format("Resource %s not found", file->ResourceName));
        }
        response.ContentType = TMimeTypes::System().Lookup(path);
        response.Static = file->Bytes();
        return;
    }
    if (path == "/ws/slots") {
        SendSlots(response);
        return;
    }
    if (path == "/ws/status") {
        SendStatus(response);
        return;
    }
    if (path == "/metrics") {
        SendMetrics(response);
        return;
    }
    std::string_view rest = path;
    const auto digits = Numbered(rest, "/ws/slot/");
    if (!digits) {
        throw TNotFound();
    }
    if (digits->size() == 1 && (rest == "/name" || rest == "/source" || rest == "/recording")) {
        const int index = SlotIndex(*digits);
        const TWebSlotState state = FSlots.State(index);
        SendText(response, rest == "/name"     ? state.Name
                           : rest == "/source" ? state.SourceText
                                               : (RecordsNow(state) ? "1" : "0"));
        return;
    }
    if (rest.starts_with("/weekcalendarevents")) {
        SendCalendarEvents(SlotIndex(*digits), request, response);
        return;
    }
    if (rest == "/settings") {
        SendSettings(SlotIndex(*digits), request, response);
        return;
    }
    if (rest == "/clip") {
        SendClip(SlotIndex(*digits), request, response);
        return;
    }
    if (rest == "/weekevents") {
        SendWeekEvents(SlotIndex(*digits), request, response);
        return;
    }
    std::string_view list = rest;
    if (const auto year = Numbered(list, "/list/")) {
        if (const auto month = Numbered(list, "/")) {
            if (const auto day = Numbered(list, "/")) {
                const int index = SlotIndex(*digits);
                SendDayList(index, StrToInt(*year), StrToInt(*month), StrToInt(*day), response);
                return;
            }
        }
    }
    if (const auto id = Numbered(rest, "/getfile/")) {
        const int index = SlotIndex(*digits);
        SendFile(index, StrToInt(*id), request, response, false);
        return;
    }
    if (const auto id = Numbered(rest, "/play/")) {
        const int index = SlotIndex(*digits);
        SendFile(index, StrToInt(*id), request, response, true);
        return;
    }
    throw TNotFound();
}

void TWebRouter::SendSlots(THttpResponse& response) {
    TJson slots = TJson::array();
    for (int i = 0; i < FSlots.Count(); ++i) {
        const TWebSlotState state = FSlots.State(i);
        slots.push_back({{"ID", i},
                         {"Name", state.Name},
                         {"Source", state.SourceText},
                         {"Recording", RecordsNow(state)},
                         {"Error", state.Error}});
    }
    SendJSON(response, slots);
}

void TWebRouter::SendCalendarEvents(int index, const THttpRequest& request, THttpResponse& response) {
    const TWebSlotState state = FSlots.State(index);
    const auto rows = QueryRecordings(FSlots, index, state, NormalizeDateParam(request.Param("start")),
                                      NormalizeDateParam(request.Param("end")));
    TJson events = TJson::array();
    for (const auto& row : rows) {
        if (!row.Duration) {
            continue; // never closed, and not the open file
        }
        const auto start = StartOf(index, row.Id, row.StartTime);
        if (!start) {
            continue;
        }
        const auto end = AddSeconds(*start, *row.Duration);
        events.push_back({{"id", row.Id},
                          {"start", FormatCalendarDateTime(start->first, start->second)},
                          {"end", FormatCalendarDateTime(end.first, end.second)},
                          {"title", state.Name}});
    }
    SendJSON(response, events);
}

void TWebRouter::SendDayList(int index, int year, int month, int day, THttpResponse& response) {
    const long long date = EncodeDate(year, month, day);
    const TWebSlotState state = FSlots.State(index);
    const auto rows = QueryRecordings(FSlots, index, state, DateParamText(date) + " 00:00:00",
                                      DateParamText(date + 1) + " 00:00:00");
    TJson items = TJson::array();
    for (const auto& row : rows) {
        const auto start = StartOf(index, row.Id, row.StartTime);
        if (!start) {
            continue;
        }
        TJson item{
            {"ID", row.Id}, {"Time", FormatISODateTime(start->first, start->second)}, {"Duration", nullptr}};
        if (row.Duration) {
            item["Duration"] = static_cast<double>(*row.Duration);
        }
        items.push_back(std::move(item));
    }
    SendJSON(response, items);
}

void TWebRouter::Execute(const THttpRequest& request, THttpResponse& response) {
    const std::string command = request.Param("command");
    std::string_view s = command;
    const auto number = Numbered(s, "SLOT ");
    if (!number || (s != " START" && s != " STOP")) {
        return;
    }
    if (!FSlots.PostCommand({s == " START" ? WM_STARTSLOT : WM_STOPSLOT, StrToInt(*number) - 1})) {
        response.Status = 503;
        SendText(response, "Too many commands are waiting: try again later.");
    }
}
