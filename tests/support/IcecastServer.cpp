#include "IcecastServer.h"

#include <cctype>
#include <cstdio>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace TestSupport {

namespace {

constexpr const char* SourcePassword = "rudazsource";
constexpr const char* AdminPassword = "rudazadmin";

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

TIcecastServer::TIcecastServer() {
    try {
        Start();
        Feed("/live.mp3", Mp3Frequency, false);
        Feed("/live.ogg", OggFrequency, true);
    } catch (...) {
        Release(); // no destructor runs for a constructor that throws
        throw;
    }
}

TIcecastServer::~TIcecastServer() { Release(); }

void TIcecastServer::Release() {
    for (auto& feeder : FFeeders) {
        feeder->Stop(SIGTERM);
    }
    FFeeders.clear();
    if (FServer) {
        FServer->Stop(SIGTERM);
        FServer.reset();
    }
}

std::string TIcecastServer::Url(const std::string& mount) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + mount;
}

void TIcecastServer::Start() {
    // Icecast refuses to run as root: it changes to its own user, which must
    // be able to reach the folder and write the log.
    const passwd* user = getpwnam("icecast2");
    if (user == nullptr) {
        throw std::runtime_error("no icecast2 user (package icecast2)");
    }
    std::filesystem::permissions(FDir.Path(), std::filesystem::perms(0755));
    const auto logs = FDir.Path() / "log";
    std::filesystem::create_directory(logs);
    if (chown(logs.c_str(), user->pw_uid, user->pw_gid) != 0) {
        throw std::runtime_error("cannot hand the log folder to icecast2");
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        FPort = FreePort();
        const std::string config = FDir.File("icecast.xml");
        std::ofstream(config)
            << "<icecast><limits><clients>200</clients><sources>40</sources><burst-size>65536</burst-size>"
               "<source-timeout>10</source-timeout></limits>"
               "<authentication><source-password>"
            << SourcePassword << "</source-password><admin-user>admin</admin-user><admin-password>" << AdminPassword
            << "</admin-password></authentication><hostname>127.0.0.1</hostname><location>test</location>"
               "<admin>test@localhost</admin><listen-socket><port>"
            << FPort
            << "</port><bind-address>127.0.0.1</bind-address></listen-socket><fileserve>1</fileserve>"
               "<paths><basedir>/usr/share/icecast2</basedir><logdir>"
            << logs.string()
            << "</logdir><webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot>"
               "</paths><logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>"
               "</logging><security><chroot>0</chroot><changeowner><user>icecast2</user><group>"
            << (getgrgid(user->pw_gid) != nullptr ? getgrgid(user->pw_gid)->gr_name : "icecast")
            << "</group></changeowner></security></icecast>\n";
        FServer = std::make_unique<TChildProgram>(std::vector<std::string>{"icecast2", "-c", config},
                                                  TChildProgram::TEnvironment{}, FDir.File("icecast.out"));
        const bool answers = WaitUntil(
            [&] {
                return !FServer->Running() ||
                       RunCommand("curl -s -o /dev/null -w '%{http_code}' " + Url("/status-json.xsl")).Output == "200";
            },
            10);
        if (answers && FServer->Running()) {
            return;
        }
        FServer.reset(); // the port was taken meanwhile, or it hung
    }
    throw std::runtime_error("icecast2 did not start");
}

void TIcecastServer::Feed(const std::string& mount, double frequency, bool ogg) {
    const std::string target =
        "icecast://source:" + std::string(SourcePassword) + "@127.0.0.1:" + std::to_string(FPort) + mount;
    std::vector<std::string> args{"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                  "sine=frequency=" + std::to_string(frequency) + ":sample_rate=44100", "-ac", "2"};
    const std::vector<std::string> codec =
        ogg ? std::vector<std::string>{"-c:a", "libvorbis", "-b:a", "128k", "-content_type", "application/ogg",
                                       "-f", "ogg"}
            : std::vector<std::string>{"-c:a", "libmp3lame", "-b:a", "128k", "-content_type", "audio/mpeg", "-f",
                                       "mp3"};
    args.insert(args.end(), codec.begin(), codec.end());
    args.push_back(target);
    FFeeders.push_back(std::make_unique<TChildProgram>(args, TChildProgram::TEnvironment{},
                                                       FDir.File("feed" + std::to_string(FFeeders.size()) + ".log")));
    if (!WaitUntil([&] { return MountLive(mount); }, 10)) {
        throw std::runtime_error("mount " + mount + " did not come up");
    }
}

bool TIcecastServer::MountLive(const std::string& mount) const {
    return RunCommand("curl -s -o /dev/null -m 2 -w '%{http_code}' -r 0-0 " + Url(mount)).Output == "200";
}

void TIcecastServer::SetTitle(const std::string& mount, const std::string& title) const {
    const auto result = RunCommand("curl -s -u admin:" + std::string(AdminPassword) + " '" +
                                   Url("/admin/metadata?mount=" + Escape(mount) + "&mode=updinfo&song=" +
                                       Escape(title)) +
                                   "'");
    if (result.Output.find("successful") == std::string::npos) {
        throw std::runtime_error("icecast did not take the title: " + result.Output);
    }
}

} // namespace TestSupport
