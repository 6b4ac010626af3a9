#include "ChildProgram.h"

#include "TestSupport.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TestSupport {

TChildProgram::TChildProgram(const std::vector<std::string>& argv, const TEnvironment& environment,
                             std::string logFile, bool brokenStandardError)
    : FLogFile(std::move(logFile)) {
    // Everything is prepared before fork: the child may only make async-signal-safe calls.
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    for (const auto& [name, value] : environment) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : env) {
        envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);
    const int log = open(FLogFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int errors = log;
    if (brokenStandardError) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        close(fds[0]);
        errors = fds[1];
    }
    const pid_t parent = getpid();

    FPid = fork();
    if (FPid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (FPid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        // As a service manager starts it, whatever this test process ignores.
        signal(SIGPIPE, SIG_DFL);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(errors, STDERR_FILENO);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(log);
    if (errors != log) {
        close(errors);
    }
}

TChildProgram::~TChildProgram() {
    if (Running()) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
    }
}

std::string TChildProgram::Log() const {
    std::ifstream in(FLogFile);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TChildProgram::WaitForLog(const std::string& text, std::chrono::seconds timeout) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, static_cast<double>(timeout.count()));
}

bool TChildProgram::Running() {
    if (FStatus || FPid <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<int> TChildProgram::WaitForExit(std::chrono::milliseconds timeout) {
    WaitUntil([&] { return !Running(); }, std::chrono::duration<double>(timeout).count());
    return FStatus;
}

int TChildProgram::Stop(int signal) {
    if (Running()) {
        kill(FPid, signal);
    }
    return WaitForExit(std::chrono::seconds(15)).value_or(-1);
}

TXvfbServer::TXvfbServer(const std::string& logFile)
    // -displayfd picks a free display and writes its number to standard output (the log).
    : FServer({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {}, logFile) {
    std::string number;
    if (!WaitUntil(
            [&] {
                // Warnings on standard error may come first.
                std::istringstream log(FServer.Log());
                for (std::string line; std::getline(log, line);) {
                    if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos &&
                        !log.eof()) {
                        number = line;
                        return true;
                    }
                }
                return false;
            },
            15)) {
        throw std::runtime_error("Xvfb did not start: " + FServer.Log());
    }
    FDisplay = ":" + number;
}

} // namespace TestSupport
