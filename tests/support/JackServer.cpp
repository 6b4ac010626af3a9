#include "JackServer.h"

#include <jack/jack.h>

#include "ServerProcess.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string UniqueName() {
    static std::atomic<int> counter{0};
    return "rudaztest_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

} // namespace

TJackServer::TJackServer(int capturePorts, int rate, bool start)
    : FName(UniqueName()), FCapturePorts(capturePorts), FRate(rate) {
    for (const char* name : {"JACK_DEFAULT_SERVER", "JACK_NO_START_SERVER"}) {
        FSavedEnvironment.emplace_back(name, GetEnvironment(name));
    }
    setenv("JACK_DEFAULT_SERVER", FName.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    if (start) {
        try {
            Start();
        } catch (...) {
            Release(); // no destructor runs for a constructor that throws
            throw;
        }
    }
}

TJackServer::~TJackServer() { Release(); }

void TJackServer::Release() {
    // A killed server keeps its slot in libjack's registry, which has room for
    // eight servers per user and frees a slot only for a server of the same
    // name: so the name is started once more and stopped in order.
    if (FKilled && !Running()) {
        try {
            Start();
        } catch (const std::exception&) {
        }
    }
    Stop();
    RemoveLeftovers();
    for (const auto& [name, value] : FSavedEnvironment) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

std::string TJackServer::LogTail() const {
    std::ifstream in(FLog.File("jackd.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::string tail;
    for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) {
        tail += "\n  " + lines[i];
    }
    return tail;
}

void TJackServer::Start() {
    if (Running()) {
        return;
    }
    RemoveLeftovers();
    std::vector<std::string> args{"jackd", "-n", FName, "-r", "-d", "dummy", "-r", std::to_string(FRate),
                                  "-p", "1024", "-C", std::to_string(FCapturePorts), "-P", "2"};
    FDaemon = std::make_unique<TChildProgram>(args, TChildProgram::TEnvironment{}, FLog.File("jackd.log"));

    // The ports are checked too, as they are what the tests use.
    const auto until = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < until) {
        if (!FDaemon->Running()) {
            FDaemon.reset();
            throw std::runtime_error("jackd " + FName + " ended at start:" + LogTail());
        }
        if (Answers() && Connections().count("system:capture_1") != 0) {
            FKilled = false; // its registration was taken over
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Crash();
    throw std::runtime_error("jackd " + FName + " did not answer:" + LogTail());
}

void TJackServer::End(int signal) {
    if (!Running()) {
        return;
    }
    FKilled = FDaemon->Stop(signal) < 0 || signal == SIGKILL;
    FDaemon.reset(); // kills it if it did not end
}

void TJackServer::Stop() { End(SIGTERM); }

void TJackServer::Crash() { End(SIGKILL); }

void TJackServer::RemoveLeftovers() const {
    // A killed server leaves its socket and semaphores ("jack_<name>_0_0",
    // "jack_sem.0_<name>_system"); its shared memory segments are registered
    // by pid, and the next server to start reclaims them.
    const std::string mark = "_" + FName + "_";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        const std::string file = entry.path().filename().string();
        if (file.rfind("jack", 0) == 0 && file.find(mark) != std::string::npos) {
            std::filesystem::remove(entry.path(), ec);
        }
    }
}

namespace {

struct TJackClientClose {
    void operator()(jack_client_t* client) const { jack_client_close(client); }
};
using TJackClient = std::unique_ptr<jack_client_t, TJackClientClose>;

TJackClient OpenProbe(const std::string& server) {
    const std::string name = "probe" + std::to_string(getpid());
    jack_status_t status{};
    return TJackClient(jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                        &status, server.c_str()));
}

TJackClient OpenProbeOrThrow(const std::string& server) {
    TJackClient probe = OpenProbe(server);
    if (!probe) {
        throw std::runtime_error("jack server " + server + " does not answer");
    }
    return probe;
}

} // namespace

bool TJackServer::Answers() const { return OpenProbe(FName) != nullptr; }

std::map<std::string, std::vector<std::string>> TJackServer::Connections() const {
    TJackClient probe = OpenProbeOrThrow(FName);
    std::map<std::string, std::vector<std::string>> result;
    const char** ports = jack_get_ports(probe.get(), nullptr, nullptr, 0);
    for (const char** p = ports; p != nullptr && *p != nullptr; ++p) {
        auto& connected = result[*p];
        jack_port_t* port = jack_port_by_name(probe.get(), *p);
        const char** others = port != nullptr ? jack_port_get_all_connections(probe.get(), port) : nullptr;
        for (const char** o = others; o != nullptr && *o != nullptr; ++o) {
            connected.emplace_back(*o);
        }
        jack_free(static_cast<void*>(others));
    }
    jack_free(static_cast<void*>(ports));
    return result;
}

bool TJackServer::HasClient(const std::string& name) const {
    TJackClient probe = OpenProbeOrThrow(FName);
    char* uuid = jack_get_uuid_for_client_name(probe.get(), name.c_str());
    const bool found = uuid != nullptr;
    jack_free(uuid);
    return found;
}

std::string TJackServer::ClientNameForTests() { return "rudaz" + std::to_string(getpid()); }

} // namespace TestSupport
