// The server's lifecycle, its settings and the access check, over real
// connections on loopback.
#include "WebFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

const char* const Challenge = "Basic realm=\"Pelorand Rudaz Odudad\"";
const char* const ChallengeBody = "401 Unauthorized";

class WebServer : public TWebFixture {};

void ExpectRefused(const THttpReply& r, const std::string& what, bool head = false) {
    EXPECT_EQ(r.Status, 401) << what;
    EXPECT_EQ(r.Header("www-authenticate"), Challenge) << what;
    EXPECT_EQ(r.Body, head ? "" : ChallengeBody) << what;
}

} // namespace

TEST(WebServerPassword, IsTheUpperCaseMd5OfTheSaltAndThePassword) {
    for (const std::string password : {"", "secret", "pass:word", "\xC3\xA4\xC3\xB6"}) {
        const auto md5 = RunCommand("printf '%s' 'DededuvAdiroRovodav" + password + "' | md5sum").Output.substr(0, 32);
        std::string upper = md5;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(HashWebServerPassword(password), upper) << password;
    }
}

TEST_F(WebServer, SettingsReadOnlyTheExactWordOnAndWriteTheirSection) {
    auto defaults = TWebServerSettings::Read(Settings);
    EXPECT_EQ(defaults.Port, "5252");
    EXPECT_EQ(defaults.User, "");
    EXPECT_EQ(defaults.Password, "");
    EXPECT_TRUE(defaults.CommandExecution);
    EXPECT_FALSE(defaults.Enabled);
    EXPECT_EQ(defaults.AllowedHosts + defaults.CertificateFile + defaults.KeyFile, "");

    Settings.WriteSection("Webserver", {{"Enabled", "ON"},
                                        {"CommandExecution", "yes"},
                                        {"Port", "8080"},
                                        {"AllowedHosts", "logger.lan"},
                                        {"CertificateFile", "/etc/c.pem"},
                                        {"KeyFile", "/etc/k.pem"}});
    auto upper = TWebServerSettings::Read(Settings);
    EXPECT_FALSE(upper.Enabled) << "only the lower-case word starts the server";
    EXPECT_FALSE(upper.CommandExecution);
    EXPECT_EQ(upper.Port, "8080");
    EXPECT_EQ(upper.AllowedHosts, "logger.lan");
    EXPECT_EQ(upper.CertificateFile, "/etc/c.pem");
    EXPECT_EQ(upper.KeyFile, "/etc/k.pem");

    TWebServerSettings::WriteEnabled(Settings, true);
    TWebServerSettings fields = WebSettings("6000", "admin", false);
    fields.Password = HashWebServerPassword("pw");
    fields.CertificateFile = "/srv/cert.pem";
    fields.AllowedHosts = "not.written";
    fields.WriteFields(Settings);
    TSettingsStore reread(Dir.Path() / "RudazOdudad.ini");
    EXPECT_EQ(reread.ReadString("Webserver", "Enabled", ""), "on");
    EXPECT_EQ(reread.ReadString("Webserver", "Port", ""), "6000");
    EXPECT_EQ(reread.ReadString("Webserver", "User", ""), "admin");
    EXPECT_EQ(reread.ReadString("Webserver", "Password", ""), HashWebServerPassword("pw"));
    EXPECT_EQ(reread.ReadString("Webserver", "CommandExecution", ""), "off");
    EXPECT_EQ(reread.ReadString("Webserver", "CertificateFile", ""), "/srv/cert.pem");
    EXPECT_EQ(reread.ReadString("Webserver", "KeyFile", "?"), "");
    EXPECT_EQ(reread.ReadString("Webserver", "AllowedHosts", ""), "logger.lan") << "kept as the station wrote it";
}

TEST_F(WebServer, StartAndStopLogAndServeOnIPv4AndIPv6) {
    Build(1);
    EXPECT_FALSE(Server->Active());
    EXPECT_EQ(Server->Port(), 5252) << "the default port before any start";
    Start();
    ASSERT_TRUE(Server->Active());
    EXPECT_NE(Server->Port(), 0);
    ASSERT_EQ(WebLog.size(), 1u);
    EXPECT_NE(WebLog[0].find(": Web server started"), std::string::npos) << WebLog[0];

    for (const char* host : {"127.0.0.1", "[::1]"}) {
        const auto r = Get(Url("/ws/slots", host));
        EXPECT_EQ(r.Status, 200) << host;
        EXPECT_EQ(r.Header("connection"), "close") << host;
    }
    Server->Start(WebSettings("1", "ignored")); // already running: nothing happens
    EXPECT_EQ(Get(Url("/ws/slots")).Status, 200);
    EXPECT_EQ(WebLog.size(), 1u);

    const int port = Server->Port();
    Server->Stop();
    EXPECT_FALSE(Server->Active());
    ASSERT_EQ(WebLog.size(), 2u);
    EXPECT_NE(WebLog[1].find(": Web server stopped"), std::string::npos) << WebLog[1];
    EXPECT_NE(Get("http://127.0.0.1:" + std::to_string(port) + "/ws/slots").CurlCode, 0) << "nothing listens";

    Server->Start(WebSettings("0"));
    EXPECT_EQ(Get(Url("/ws/slots")).Status, 200) << "a stopped server starts again";
    Server->Deactivate();
    EXPECT_FALSE(Server->Active());
    EXPECT_EQ(WebLog.size(), 3u) << "deactivation at close logs nothing";

    // One address: the page stays on this machine's IPv4 loopback.
    TWebServerSettings local = WebSettings("0");
    local.Address = "127.0.0.1";
    Server->Start(local);
    EXPECT_EQ(Get(Url("/ws/slots")).Status, 200);
    EXPECT_NE(Get(Url("/ws/slots", "[::1]")).CurlCode, 0) << "nothing listens on the other addresses";
    Server->Deactivate();
    local.Address = "localhost";
    try {
        Server->Start(local);
        FAIL() << "started on a name";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error starting web server: Address \"localhost\" is not an IP address");
    }
}

TEST_F(WebServer, APortInUseIsReportedAndLeavesTheServerStopped) {
    Build(1);
    TPortBlocker other;
    try {
        Server->Start(WebSettings(std::to_string(other.Port())));
        FAIL() << "started on a port in use";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("Error starting web server: ", 0), 0u) << text;
        EXPECT_NE(text.find("Address already in use"), std::string::npos) << text;
        ASSERT_EQ(WebLog.size(), 1u);
        EXPECT_NE(WebLog[0].find(": " + text), std::string::npos) << WebLog[0];
    }
    EXPECT_FALSE(Server->Active());
    EXPECT_EQ(Server->Port(), other.Port()) << "the port taken from the field stays in force";

    // A port text that is no number keeps the port in force; "0" then lets the system choose.
    EXPECT_THROW(Server->Start(WebSettings("http")), std::runtime_error);
    EXPECT_EQ(Server->Port(), other.Port());
    EXPECT_THROW(Server->Start(WebSettings("70000")), std::runtime_error);
    EXPECT_FALSE(Server->Active());
    Server->Start(WebSettings("0"));
    EXPECT_TRUE(Server->Active());
    EXPECT_EQ(Get(Url("/ws/slots")).Status, 200);
}

TEST_F(WebServer, WithoutAUserEveryoneIsAdmittedWhateverThePassword) {
    Build(1);
    Server->SetPasswordHash(HashWebServerPassword("secret"));
    Server->Start(WebSettings("0"));
    EXPECT_EQ(Get(Url("/ws/slots")).Status, 200);
    EXPECT_EQ(Http({"GET", Url("/ws/slots"), {}, {}, "someone:wrong"}).Status, 200);
}

TEST_F(WebServer, WithAUserOnlyTheExactCredentialsAreAdmitted) {
    Build(1);
    Start("Admin", true, "pa:ss:word");
    const std::string good = "Admin:pa:ss:word"; // split at the first ':'
    EXPECT_EQ(Http({"GET", Url("/ws/slots"), {}, {}, good}).Status, 200);
    EXPECT_EQ(Http({"GET", Url("/ws/slots", "[::1]"), {}, {}, good}).Status, 200);

    ExpectRefused(Get(Url("/ws/slots")), "no credentials");
    ExpectRefused(Http({"GET", Url("/ws/slots"), {}, {}, "admin:pa:ss:word"}), "user in another case");
    ExpectRefused(Http({"GET", Url("/ws/slots"), {}, {}, "Admin:pa:ss:wor"}), "wrong password");
    ExpectRefused(Http({"GET", Url("/ws/slots"), {}, {}, "Admin:"}), "empty password");
    // Everything that reaches the router is checked first.
    for (const char* path : {"/", "/index.html", "/ws/slot/0/name", "/ws/slot/0/getfile/1", "/nowhere"}) {
        ExpectRefused(Get(Url(path)), path);
    }
    ExpectRefused(Http({"HEAD", Url("/index.html"), {}, {}, {}}), "HEAD", true);
    ExpectRefused(Http({"POST", Url("/execute"), {"Content-Type: application/x-www-form-urlencoded"},
                        "command=SLOT+1+STOP", {}}),
                  "execute");
    Controller->ProcessCommands();
    EXPECT_TRUE(Controller->Slots()[0]->Enabled) << "a refused command does nothing";

    // Methods other than HEAD, GET and POST never reach the check.
    for (const char* method : {"PUT", "DELETE", "OPTIONS", "BREW"}) {
        const auto r = Http({method, Url("/ws/slots"), {}, {}, {}});
        EXPECT_EQ(r.Status, 200) << method;
        EXPECT_EQ(r.Body, "") << method;
        EXPECT_EQ(r.Header("content-type"), "text/html") << method;
    }
}

TEST_F(WebServer, AStoredEmptyPasswordAdmitsNobodyUntilOneIsSet) {
    Build(1);
    Server->SetPasswordHash("");
    Server->Start(WebSettings("0", "admin"));
    ExpectRefused(Http({"GET", Url("/ws/slots"), {}, {}, "admin:"}), "empty stored hash");
    Server->SetPasswordHash(HashWebServerPassword("x"));
    EXPECT_EQ(Http({"GET", Url("/ws/slots"), {}, {}, "admin:x"}).Status, 200);
}

TEST_F(WebServer, AnotherAuthorizationSchemeClosesTheConnectionUnanswered) {
    Build(1);
    Start("admin", true, "pw");
    const auto r = Http({"GET", Url("/ws/slots"), {"Authorization: Bearer abc"}, {}, {}});
    EXPECT_EQ(r.CurlCode, 52) << "empty reply from server";
    EXPECT_EQ(r.Status, 0);
    // The scheme's name is not case-sensitive.
    EXPECT_EQ(Http({"GET", Url("/ws/slots"), {"Authorization: bAsIc YWRtaW46cHc="}, {}, {}}).Status, 200);
}

TEST_F(WebServer, TheStoredHashSurvivesARestartOfTheProgram) {
    Build(1);
    Server->SetPasswordHash(HashWebServerPassword("old"));
    TWebServerSettings fields = TWebServerSettings::Read(Settings);
    fields.User = "admin";
    fields.Password = Server->PasswordHash();
    fields.WriteFields(Settings);
    Server.reset();

    TSettingsStore reread(Dir.Path() / "RudazOdudad.ini");
    const auto stored = TWebServerSettings::Read(reread);
    EXPECT_EQ(stored.Password, HashWebServerPassword("old")) << "the hash is stored, never the password";
    Server = std::make_unique<TWebServer>(*Controller);
    Server->SetPasswordHash(stored.Password);
    Server->Start(WebSettings("0", stored.User));
    EXPECT_EQ(Http({"GET", Url("/ws/slots"), {}, {}, "admin:old"}).Status, 200);
    ExpectRefused(Http({"GET", Url("/ws/slots"), {}, {}, "admin:" + stored.Password}), "the hash is no password");
}

TEST_F(WebServer, OneClientCannotTakeEveryConnection) {
    Build(1);
    Start();
    // Idle connections from one address, past its share: the server keeps answering.
    std::vector<int> idle;
    for (int i = 0; i < 24; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(Server->Port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        idle.push_back(fd);
    }
    // The same address is turned away at its share; another client is still served.
    EXPECT_NE(Fetch("/ws/slots").Status, 200);
    EXPECT_TRUE(WaitUntil([&] { return Get(Url("/ws/slots", "[::1]")).Status == 200; }, 10));
    const int held = idle.back();
    idle.pop_back();
    for (int fd : idle) {
        close(fd);
    }
    EXPECT_TRUE(WaitUntil([&] { return Fetch("/ws/slots").Status == 200; }, 10)) << "the closed ones are freed";
    const auto stopping = std::chrono::steady_clock::now();
    Server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5))
        << "an idle client does not hold the stop until it times out";
    close(held);
}
