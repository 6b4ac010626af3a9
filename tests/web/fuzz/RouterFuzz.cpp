// libFuzzer target: request parsing (target, form body, Authorization), the
// checks of where a request comes from (Host, Origin or Referer, failed logins
// per address) and routing against two slots with a real catalogue in a
// temporary folder. Input: byte 0 picks the method, the access rule, whether
// the origin line is sent as Origin or Referer, and the client's address; the
// rest is split at '\n' into request target, Authorization header, Host
// header, origin line, Range header (also sent as If-Range when it starts with
// '"') and url-encoded body (also the JSON of the settings view). An error
// answer that is not plain text or names the slots' folder, and a setting
// taken with a control character or a folder outside the root, abort.
#include "HttpRequest.h"
#include "SlotSettingsRules.h"
#include "WebRouter.h"
#include "WebServer.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

class TFuzzSlots : public TWebSlots {
public:
    TFuzzSlots() {
        char pattern[] = "/tmp/rudaz-fuzz-XXXXXX";
        FRoot = mkdtemp(pattern);
        std::filesystem::create_directories(FRoot + "/slot0");
        std::ofstream(FRoot + "/slot0/a.mp3") << "0123456789"; // something for the byte ranges
        TCatalogue db(FRoot + "/slot0/" + TCatalogue::FileName);
        db.Execute("INSERT INTO recordings (starttime, duration, filename) VALUES "
                   "('2011-03-07 14:00:00', 3599.98, 'a.mp3'), ('2011-03-07 15:00:00', NULL, '../x.mp3'), "
                   "('bad', 1e300, '/etc/passwd'), ('2011-03-07 16:00:00', -5, 'sub\\\\b.ogg'), "
                   "('2011-03-07 17:00:00', 12, '')");
        db.Execute("INSERT INTO events (kind, starttime, endtime, text) VALUES "
                   "('silence', '2011-03-07 14:10:00', NULL, 'Silence since 14:10:00'), "
                   "('input_lost', '2011-03-08 09:00:00', '2011-03-08 09:05:00', 'Input lost since 09:00:00'), "
                   "('low_disk', 'bad', NULL, '')");
        FSettings.Values.Folder = FRoot + "/slot0";
    }
    const std::string& Root() const { return FRoot; }
    const TSlotSettings& Settings() const { return FSettings.Values; }
    ~TFuzzSlots() override { std::filesystem::remove_all(FRoot); }

    int Count() const override { return 2; }
    TWebSlotState State(int index) const override {
        TWebSlotState s;
        s.Name = index == 0 ? "Caf\xC3\xA9 \xFF" : "";
        s.SourceText = index == 0 ? "Test" : "";
        s.Folder = FRoot + "/slot" + std::to_string(index);
        s.Recording = index == 0;
        s.CurrentRecordingID = 2;
        s.CurrentDuration = 12.5f;
        s.StateName = "recording";
        s.PeakLeft = index == 0 ? 0.5f : 0.0f;
        s.Alarms = {{"silence", "2011-03-07 14:10:00", "Silence since 14:10:00", 1}};
        return s;
    }
    std::unique_ptr<TCatalogue> OpenCatalogue(int, const std::string& folder) override {
        std::filesystem::create_directories(folder);
        return std::make_unique<TCatalogue>(folder + "/" + TCatalogue::FileName);
    }
    bool PostCommand(TSlotCommand) override { return ++FCommands % 7 != 0; } // now and then a full queue
    void PostLog(int, const std::string&) override {}
    void PostServerLog(const std::string&) override {}
    double UptimeSeconds() const override { return 12.5; }
    std::string Version() const override { return "1.2.3.4"; }
    std::optional<std::uint64_t> FreeSpace(const std::string&) const override { return 1u << 30; }
    std::optional<TWebSlotSettings> ReadSettings(int) override {
        if (++FReads % 5 == 0) {
            return std::nullopt; // now and then a controller that did not answer
        }
        return FSettings;
    }
    TSettingsOutcome ChangeSettings(int, TSettingsEdit edit, const std::string&) override {
        TSettingsOutcome outcome;
        TSlotSettings values = FSettings.Values;
        outcome.Reason = edit(values, FSettings);
        if (outcome.Reason.empty()) {
            outcome.Reason = CheckRanges(values);
        }
        outcome.Kind = outcome.Reason.empty() ? TSettingsOutcome::TKind::Applied : TSettingsOutcome::TKind::Refused;
        if (outcome.Reason.empty()) {
            outcome.Before = FSettings.Values;
            FSettings.Values = values;
            outcome.After = values;
            outcome.Written = ++FWrites % 3 != 0; // now and then a disk that refused
        }
        return outcome;
    }
    std::optional<int> NextSlotCount() override { return FNextCount; }
    bool SetNextSlotCount(int count, const std::string&) override {
        FNextCount = count;
        return true;
    }
    std::vector<int> OfferedSamplerates(TSlotFormat) const override { return {44100, 48000}; }
    std::vector<int> OfferedBitrates(TSlotFormat format, int, TSlotMode) const override {
        return format == TSlotFormat::mp3 || format == TSlotFormat::ogg ? std::vector<int>{32, 128, 320}
                                                                        : std::vector<int>{64000};
    }
    // Ten seconds on at every look, so that blocks of failed logins also end.
    std::chrono::system_clock::time_point Now() const override {
        return std::chrono::system_clock::time_point(std::chrono::seconds(FTicks += 10));
    }

private:
    std::string FRoot;
    unsigned FCommands = 0;
    unsigned FReads = 0;
    unsigned FWrites = 0;
    int FNextCount = 2;
    TWebSlotSettings FSettings{{}, "Line in", {{"pulse:in", "Line in"}, {"TEST:0", "Caf\xC3\xA9"}}, 3};
    mutable long long FTicks = 1'000'000'000;
};

TFuzzSlots& Slots() {
    static TFuzzSlots slots;
    return slots;
}

std::string_view NextLine(std::string_view& s) {
    const auto nl = s.find('\n');
    const std::string_view line = s.substr(0, nl);
    s = nl == std::string_view::npos ? std::string_view() : s.substr(nl + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static const char* const methods[] = {"GET", "HEAD", "POST", "PUT"};
    const std::uint8_t flags = data[0];
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view target = NextLine(input);
    const std::string_view authorization = NextLine(input);
    const std::string_view host = NextLine(input);
    const std::string_view origin = NextLine(input);
    const std::string_view range = NextLine(input);
    const std::string_view body = input;

    THttpRequest request;
    request.Method = methods[flags & 3];
    request.Host = host;
    (flags & 16 ? request.Referer : request.Origin) = origin;
    static const char* const peers[] = {"127.0.0.1", "::1", "192.0.2.7", ""};
    request.Peer = peers[(flags >> 5) & 3];
    request.Secure = (flags & 128) != 0;
    (range.starts_with('"') ? request.IfRange : request.Range) = range;
    if (ParseAuthorization(authorization, request) == TAuthorization::Foreign) {
        return 0;
    }
    if (request.Method == "POST") {
        AppendParams(body, request.Params);
        request.Body = body; // as a JSON body too
    }
    ParseRequestTarget(target, request);

    // One router for the run, as the server has, so that failed logins add up.
    static TWebRouter router{Slots()};
    router.SetAccess(flags & 4 ? "user" : "", (flags & 8) != 0, "studio.example, other.example", (flags & 8) != 0);
    router.SetSettingsRules((flags & 8) != 0, {Slots().Root()});
    router.SetPasswordHash(HashWebServerPassword("pw"));
    THttpResponse response;
    router.HTTPServerCommandGet(request, response);
    const int status = response.Status;
    if (status != 200 && status != 206 && status != 302 && status != 400 && status != 403 && status != 404 &&
        status != 416 && status != 429 && status != 501 && status != 503) {
        std::abort(); // a status the router never gives
    }
    if (status >= 400 && (response.ContentType != "text/plain; charset=utf-8" ||
                          response.Text.find(Slots().Root()) != std::string::npos)) {
        std::abort(); // an error answer a browser could run as a page, or one that tells where recordings lie
    }
    const TSlotSettings& taken = Slots().Settings();
    for (const std::string* text : {&taken.Name, &taken.Folder, &taken.StreamURL, &taken.EncoderOptions}) {
        for (char c : *text) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                std::abort();
            }
        }
    }
    if (!taken.Folder.starts_with(Slots().Root() + "/") || taken.Folder.find("/..") != std::string::npos) {
        std::abort();
    }
    return 0;
}
