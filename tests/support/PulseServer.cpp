#include "PulseServer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "ServerProcess.h"

namespace TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

TPulseServer::TPulseServer(bool start) {
    for (const char* name : {"XDG_RUNTIME_DIR", "HOME", "PULSE_SERVER", "PULSE_RUNTIME_PATH", "DISPLAY"}) {
        FSavedEnvironment.emplace_back(name, GetEnvironment(name));
    }
    setenv("XDG_RUNTIME_DIR", FDir.Path().c_str(), 1);
    setenv("HOME", FDir.Path().c_str(), 1);
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_RUNTIME_PATH");
    unsetenv("DISPLAY");
    if (start) {
        Start();
    }
}

TPulseServer::~TPulseServer() {
    Stop();
    for (const auto& [name, value] : FSavedEnvironment) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

void TPulseServer::Start() {
    if (Running()) {
        return;
    }
    std::vector<std::string> args{"pulseaudio",
                                  "-n",
                                  "--daemonize=no",
                                  "--exit-idle-time=-1",
                                  "-L",
                                  "module-native-protocol-unix",
                                  "-L",
                                  "module-null-sink",
                                  "-L",
                                  "module-sine-source frequency=440 source_name=sine"};
    // Killed with the test should it die first: a crashed test leaves no daemon behind.
    FDaemon = std::make_unique<TChildProgram>(args, TChildProgram::TEnvironment{}, "/dev/null");

    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        if (!FDaemon->Running()) {
            FDaemon.reset();
            throw std::runtime_error("pulseaudio ended at start");
        }
        if (Pactl("list short sources").Output.find("\tsine\t") != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    throw std::runtime_error("pulseaudio did not answer");
}

void TPulseServer::Stop() {
    if (!Running()) {
        return;
    }
    FDaemon->Stop(SIGTERM);
    FDaemon.reset(); // kills it if it did not end
}

TCommandResult TPulseServer::Pactl(const std::string& args) const {
    // An explicit server: pactl must neither find another daemon nor spawn one.
    return RunCommand("PULSE_SERVER='unix:" + (FDir.Path() / "pulse" / "native").string() + "' HOME='" +
                      FDir.Path().string() + "' pactl " + args + " 2>/dev/null");
}

std::string TPulseServer::SourceDescription(const std::string& name) const {
    std::istringstream in(Pactl("list sources").Output);
    bool inSource = false;
    for (std::string line; std::getline(in, line);) {
        const auto text = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
        if (text.rfind("Name: ", 0) == 0) {
            inSource = text.substr(6) == name;
        } else if (inSource && text.rfind("Description: ", 0) == 0) {
            return text.substr(13);
        }
    }
    return {};
}

std::vector<std::string> TPulseServer::SourceOutputs() const {
    std::vector<std::string> lines;
    std::istringstream in(Pactl("list short source-outputs").Output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

} // namespace TestSupport
