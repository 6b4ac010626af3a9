#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace TestSupport {

// A program that a test starts and owns: its standard output and error go to
// a log file, its environment is this process's with some variables set or
// removed, and it is killed should the test die first. The destructor kills
// what still runs.
class TChildProgram {
public:
    using TEnvironment = std::vector<std::pair<std::string, std::optional<std::string>>>; // nullopt: removed

    // With `brokenStandardError` the program's standard error is a pipe whose
    // reader has gone, as when the terminal or journal it wrote to went away.
    TChildProgram(const std::vector<std::string>& argv, const TEnvironment& environment, std::string logFile,
                  bool brokenStandardError = false);
    ~TChildProgram();

    TChildProgram(const TChildProgram&) = delete;
    TChildProgram& operator=(const TChildProgram&) = delete;

    std::string Log() const;
    bool WaitForLog(const std::string& text, std::chrono::seconds timeout) const;
    // The exit status once ended within `timeout` (128 + signal for a kill), else nothing.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // Sends the signal and waits up to 15 s; -1 when it did not end.
    int Stop(int signal);
    bool Running();
    pid_t Pid() const { return FPid; }

private:
    std::string FLogFile;
    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// A private X server (Xvfb, 1024 x 768 x 24) on a free display number.
class TXvfbServer {
public:
    explicit TXvfbServer(const std::string& logFile);
    // ":N"
    const std::string& Display() const { return FDisplay; }

private:
    TChildProgram FServer;
    std::string FDisplay;
};

} // namespace TestSupport
