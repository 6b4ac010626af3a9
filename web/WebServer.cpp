#include "WebServer.h"

#include "ControllerSlots.h"
#include "Controller.h"
#include "HttpServer.h"
#include "Paths.h"
#include "WebRouter.h"

#include "TextTools.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace {

constexpr const char* Section = "Webserver";
constexpr int DefaultPort = 5252;

const char* OnOff(bool on) { return on ? "on" : "off"; }

std::string ReadPem(const std::string& path, const char* what) {
    constexpr std::uintmax_t MaxBytes = 1024 * 1024; // far more than any certificate chain
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > MaxBytes) {
        error = std::make_error_code(std::errc::file_too_large);
    }
    std::ifstream in(path, std::ios::binary);
    if (error || !in) {
        throw std::runtime_error(Format("Cannot read the %s file \"%s\": %s", what, path.c_str(),
                                        error ? error.message().c_str() : std::strerror(errno)));
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

THttpServer::TTls ReadTls(const TWebServerSettings& settings) {
    if (settings.CertificateFile.empty() && settings.KeyFile.empty()) {
        return {};
    }
    if (settings.CertificateFile.empty() || settings.KeyFile.empty()) {
        throw std::runtime_error("HTTPS needs both CertificateFile and KeyFile");
    }
    return {ReadPem(settings.CertificateFile, "certificate"), ReadPem(settings.KeyFile, "key")};
}

// The text as a decimal integer, as a port field is read; nothing when it is not one.
std::optional<int> ParsePort(const std::string& text) {
    int value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (begin == end || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

TWebServerSettings TWebServerSettings::Read(const TSettingsFile& settings) {
    TWebServerSettings s;
    s.Port = settings.ReadString(Section, "Port", s.Port);
    s.Address = settings.ReadString(Section, "Address", s.Address);
    s.User = settings.ReadString(Section, "User", s.User);
    s.Password = settings.ReadString(Section, "Password", s.Password);
    s.CommandExecution = settings.ReadString(Section, "CommandExecution", "on") == "on";
    s.Enabled = settings.ReadString(Section, "Enabled", "off") == "on";
    s.Configuration = settings.ReadString(Section, "Configuration", "off") == "on";
    s.AllowedHosts = settings.ReadString(Section, "AllowedHosts", s.AllowedHosts);
    s.CertificateFile = settings.ReadString(Section, "CertificateFile", s.CertificateFile);
    s.KeyFile = settings.ReadString(Section, "KeyFile", s.KeyFile);
    s.WebEncoderOptions = settings.ReadString(Section, "WebEncoderOptions", "off") == "on";
    const std::string roots = settings.ReadString(Section, "FolderRoots", "");
    for (std::size_t begin = 0; begin < roots.size();) {
        const std::size_t end = std::min(roots.find(';', begin), roots.size());
        if (const std::string_view root = Trim(std::string_view(roots).substr(begin, end - begin)); !root.empty()) {
            s.FolderRoots.emplace_back(root);
        }
        begin = end + 1;
    }
    if (s.FolderRoots.empty()) {
        s.FolderRoots.push_back(DefaultFolderBase() + "/Rudaz Odudad");
        const int slots = TController::ReadSlotCount(settings);
        for (int i = 0; i < slots; ++i) {
            const std::string folder = settings.ReadString(TSlotSettings::SectionName(i), "Folder", "");
            if (!folder.empty()) {
                s.FolderRoots.push_back(folder);
            }
        }
    }
    return s;
}

void TWebServerSettings::WriteFields(TSettingsFile& settings) const {
    settings.WriteSection(Section, {{"Port", Port},
                                    {"User", User},
                                    {"Password", Password},
                                    {"CommandExecution", OnOff(CommandExecution)},
                                    {"CertificateFile", CertificateFile},
                                    {"KeyFile", KeyFile}});
}

void TWebServerSettings::WriteEnabled(TSettingsFile& settings, bool running) {
    settings.WriteSection(Section, {{"Enabled", OnOff(running)}});
}

class TWebServer::TImpl {
public:
    explicit TImpl(TController& controller) : Controller(controller), Slots(controller), Router(Slots) {}

    TController& Controller;
    TControllerSlots Slots;
    TWebRouter Router;
    int Port = DefaultPort;              // the port in force; user-interface thread
    std::string LastStartError;          // of the last failed start; user-interface thread
    std::unique_ptr<THttpServer> Server; // user-interface thread; null while stopped
};

TWebServer::TWebServer(TController& controller) : FImpl(std::make_unique<TImpl>(controller)) {}

TWebServer::~TWebServer() { Deactivate(); }

void TWebServer::Start(const TWebServerSettings& settings, bool retry) {
    if (FImpl->Server) {
        return;
    }
    try {
        FImpl->Router.SetAccess(settings.User, settings.CommandExecution, settings.AllowedHosts,
                                settings.Configuration);
        FImpl->Router.SetSettingsRules(settings.WebEncoderOptions, settings.FolderRoots);
        if (const auto port = ParsePort(settings.Port)) {
            FImpl->Port = *port;
        }
        FImpl->Server = std::make_unique<THttpServer>(
            FImpl->Port,
            [router = &FImpl->Router](const THttpRequest& request, THttpResponse& response) {
                router->HTTPServerCommandGet(request, response);
            },
            THttpServer::TLimits{}, ReadTls(settings), settings.Address);
    } catch (const std::exception& e) {
        const std::string text = std::string("Error starting web server: ") + e.what();
        if (!retry || text != FImpl->LastStartError) {
            FImpl->Controller.LogWebServerMessage(text);
        }
        FImpl->LastStartError = text;
        throw std::runtime_error(text);
    }
    FImpl->LastStartError.clear();
    FImpl->Controller.LogWebServerMessage("Web server started");
}

void TWebServer::Stop() {
    Deactivate();
    FImpl->Controller.LogWebServerMessage("Web server stopped");
}

void TWebServer::Deactivate() { FImpl->Server.reset(); }

bool TWebServer::Active() const { return FImpl->Server != nullptr; }

int TWebServer::Port() const { return FImpl->Server ? FImpl->Server->Port() : FImpl->Port; }

void TWebServer::SetPasswordHash(const std::string& hash) { FImpl->Router.SetPasswordHash(hash); }

std::string TWebServer::PasswordHash() const { return FImpl->Router.PasswordHash(); }
