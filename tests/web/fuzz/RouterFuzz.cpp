// libFuzzer target: request parsing (target, form body, Authorization) and
// routing against two slots with a real catalogue in a temporary folder.
// Input: byte 0 picks the method and the access rule; the rest is split at
// '\n' into request target, Authorization header, and url-encoded body.
#include "HttpRequest.h"
#include "WebRouter.h"
#include "WebServer.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

class TFuzzSlots : public TWebSlots {
public:
    TFuzzSlots() {
        char pattern[] = "/tmp/rudaz-fuzz-XXXXXX";
        FRoot = mkdtemp(pattern);
        std::filesystem::create_directories(FRoot + "/slot0");
        TCatalogue db(FRoot + "/slot0/" + TCatalogue::FileName);
        db.Execute("INSERT INTO recordings (starttime, duration, filename) VALUES "
                   "('2011-03-07 14:00:00', 3599.98, 'a.mp3'), ('2011-03-07 15:00:00', NULL, '../x.mp3'), "
                   "('bad', 1e300, '/etc/passwd'), ('2011-03-07 16:00:00', -5, 'sub\\\\b.ogg'), "
                   "('2011-03-07 17:00:00', 12, '')");
    }
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
        return s;
    }
    std::unique_ptr<TCatalogue> OpenCatalogue(int, const std::string& folder) override {
        std::filesystem::create_directories(folder);
        return std::make_unique<TCatalogue>(folder + "/" + TCatalogue::FileName);
    }
    void PostCommand(TSlotCommand) override {}
    void PostLog(int, const std::string&) override {}

private:
    std::string FRoot;
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
    const std::string_view body = input;

    THttpRequest request;
    request.Method = methods[flags & 3];
    if (ParseAuthorization(authorization, request) == TAuthorization::Foreign) {
        return 0;
    }
    if (request.Method == "POST") {
        AppendParams(body, request.Params);
    }
    ParseRequestTarget(target, request);

    TWebRouter router(Slots());
    router.SetAccess(flags & 4 ? "user" : "", (flags & 8) != 0);
    router.SetPasswordHash(HashWebServerPassword("pw"));
    THttpResponse response;
    router.HTTPServerCommandGet(request, response);
    if (response.Status != 200 && response.Status != 302 && response.Status != 404 && response.Status != 501) {
        std::abort(); // a status the router never gives
    }
    return 0;
}
