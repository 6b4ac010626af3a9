#include "ServerProcess.h"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <system_error>
#include <unistd.h>

namespace TestSupport {

pid_t SpawnServer(const std::vector<std::string>& args, const std::string& logFile) {
    // Everything the child needs is prepared before fork: between fork and
    // exec it may only make async-signal-safe calls.
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const char* log = logFile.empty() ? "/dev/null" : logFile.c_str();
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
        const int out = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool EndServer(pid_t pid, int signal, std::chrono::milliseconds grace) {
    kill(pid, signal);
    if (WaitReaped(pid, grace)) {
        return signal != SIGKILL;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

} // namespace TestSupport
