#pragma once

#include "Controller.h"
#include "HttpClient.h"
#include "SlotFixture.h"
#include "WebServer.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

using TKeys = std::vector<std::pair<std::string, std::string>>;

// Slots under a controller, and the web server on a port the system chose,
// reached over loopback. The server goes before the controller, as in the program.
class TWebFixture : public TSlotFixture {
protected:
    ~TWebFixture() override;

    // Writes section Slot<i> from sections[i] (each with its own folder unless
    // given) for `count` slots, then builds the controller and the server.
    void Build(int count, const std::vector<TKeys>& sections = {});
    void Start(const std::string& user = "", bool commandExecution = true, const std::string& password = "");
    static TWebServerSettings WebSettings(const std::string& port, const std::string& user = "",
                                          bool commandExecution = true);

    std::string SlotFolder(int index) const { return Folder("slot" + std::to_string(index)); }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const;
    THttpReply Fetch(const std::string& path) const { return Get(Url(path)); }
    // A catalogue row in the slot's folder; returns its id.
    std::int64_t AddRow(int slot, const std::string& start, std::optional<double> duration,
                        const std::string& filename);
    // A file of `bytes` bytes at the slot's relative name.
    std::string WriteRecording(int slot, const std::string& relative, const std::string& bytes);

    bool RealFreeSpace = false; // the folders' own free space rather than the fake's
    std::vector<std::string> WebLog;
    std::unique_ptr<TController> Controller;
    std::unique_ptr<TWebServer> Server;
};

} // namespace TestSupport
