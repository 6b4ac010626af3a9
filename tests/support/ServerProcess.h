#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

// Small pieces shared by the fixtures that run a private server as a child.
namespace TestSupport {

inline std::optional<std::string> GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// True once the child has ended (and is reaped).
inline bool Reaped(pid_t pid) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

inline bool WaitReaped(pid_t pid, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!Reaped(pid)) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Starts `args` (looked up on PATH) as a child that dies with the thread that
// started it, so a crashed test leaves no server behind. Its output goes to
// `logFile`, or nowhere when that is empty. Throws when fork fails.
pid_t SpawnServer(const std::vector<std::string>& args, const std::string& logFile = {});

// Sends `signal`, and SIGKILL when the child has not ended after `grace`.
// False when it had to be killed.
bool EndServer(pid_t pid, int signal, std::chrono::milliseconds grace = std::chrono::seconds(5));

} // namespace TestSupport
