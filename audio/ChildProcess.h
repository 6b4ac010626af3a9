#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Splits a command line into words the way a shell does, without expanding
// anything: blanks separate words, double quotes group (and are removed).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts a program that is to outlive the call (a control panel, a file
// manager) in a session of its own, with /dev/null for its standard streams,
// and reaps it on a detached thread when it ends. It gets the default signal
// mask and dispositions whatever this process blocks or ignores, and
// `environment` ("NAME=value") on top of ours. Throws std::system_error with
// the errno of a failed start (ENOENT when the program is not on PATH).
void StartDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

// How a program run by RunBounded ended.
struct TBoundedRun {
    bool Killed = false; // at the limit, or cancelled
    int ExitStatus = 0;  // its exit status, or 128 + the signal that ended it
};

// Runs a program to its end, without a shell, in a session of its own with
// /dev/null as its input, for at most `limit` or until `cancel` turns true:
// then its whole process group is killed. Each line it writes on standard
// output or error goes to `onLine` on the calling thread. Throws
// std::system_error when it cannot start (ENOENT when it is not on PATH).
TBoundedRun RunBounded(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                       const std::atomic<bool>& cancel, const std::function<void(const std::string&)>& onLine);

// A program started without a shell, with a pipe to its standard input. Its
// standard output goes to /dev/null; its standard error is drained on a thread
// of this object so that the program never stalls on it, and the last line is
// kept. The destructor closes the input, waits a little and kills if it must.
//
// Threads: WriteInput belongs to one writer thread; the status getters may be
// called from any thread (TState::Lock guards what the drain thread publishes).
class TChildProcess {
public:
    // Throws std::system_error with the errno of a failed start (ENOENT when
    // the program is not on PATH).
    explicit TChildProcess(const std::vector<std::string>& argv);
    ~TChildProcess();

    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    enum class TWriteResult { Written, Closed, TimedOut };
    // Writes all of `data`, waiting at most `timeout` for the program to read.
    // Closed when the program no longer reads (broken pipe); `written` tells
    // how much went through either way.
    TWriteResult WriteInput(const void* data, std::size_t bytes, std::chrono::milliseconds timeout,
                            std::size_t& written);

    // Closes the program's input and waits up to `timeout` for it to end, then
    // kills it. Returns true when it ended by itself.
    bool Finish(std::chrono::milliseconds timeout);

    bool Exited() const;
    // The raw wait status; meaningful once Exited().
    int WaitStatus() const;
    std::string LastErrorLine() const;
    pid_t Pid() const { return FPid; }

    // How long a killed program (and whatever holds its standard error) may
    // take to go before Finish stops waiting for it.
    static constexpr auto KillGrace = std::chrono::seconds(1);

private:
    // What the drain thread publishes. Shared with that thread, which Finish
    // leaves behind when the program does not go even when killed (stuck in
    // a write to a mount that hangs, its standard error held by a child).
    struct TState {
        std::mutex Lock;
        std::condition_variable ExitedChanged;
        bool Exited = false;   // guarded by Lock
        int WaitStatus = 0;    // guarded by Lock
        std::string LastLine;  // guarded by Lock
    };
    static void DrainErrors(const std::shared_ptr<TState>& state, pid_t pid, int fd) noexcept;
    static void KeepLastLine(TState& state, int fd);
    static void Reap(TState& state, pid_t pid) noexcept;
    void CloseInput();

    pid_t FPid = -1;
    int FInput = -1;
    std::thread FDrain;
    const std::shared_ptr<TState> FState = std::make_shared<TState>();
};
