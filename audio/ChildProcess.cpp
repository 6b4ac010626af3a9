#include "ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>

extern char** environ;

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true; // "" is an empty word of its own
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

namespace {

struct TPipe {
    int Read = -1;
    int Write = -1;
    TPipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        Read = fds[0];
        Write = fds[1];
    }
    ~TPipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (Read >= 0) {
            close(Read);
            Read = -1;
        }
    }
    void CloseWrite() {
        if (Write >= 0) {
            close(Write);
            Write = -1;
        }
    }
    int ReleaseRead() { return std::exchange(Read, -1); }
    int ReleaseWrite() { return std::exchange(Write, -1); }
};

struct TSpawnActions {
    posix_spawn_file_actions_t Actions;
    TSpawnActions() { posix_spawn_file_actions_init(&Actions); }
    ~TSpawnActions() { posix_spawn_file_actions_destroy(&Actions); }
};

struct TSpawnAttr {
    posix_spawnattr_t Attr;
    TSpawnAttr() { posix_spawnattr_init(&Attr); }
    ~TSpawnAttr() { posix_spawnattr_destroy(&Attr); }

    // Nothing blocked, and the signals this process blocks or ignores back to
    // their defaults: a child must not inherit what only the logger wants.
    void DefaultSignals(short moreFlags) {
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&defaults, sig);
        }
        posix_spawnattr_setsigmask(&Attr, &none);
        posix_spawnattr_setsigdefault(&Attr, &defaults);
        posix_spawnattr_setflags(
            &Attr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | moreFlags));
    }
};

std::vector<char*> ArgPointers(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

// Splits what a program writes into lines (ended by \n or \r, as progress
// lines are), each cut at 1 024 bytes; lines of blanks alone are dropped.
class TLineSplitter {
public:
    explicit TLineSplitter(std::function<void(const std::string&)> onLine) : FOnLine(std::move(onLine)) {}
    void Feed(const char* data, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) {
            if (data[i] == '\n' || data[i] == '\r') {
                Flush();
            } else if (FLine.size() < 1024) {
                FLine += data[i];
            }
        }
    }
    void Flush() {
        if (FLine.find_first_not_of(" \t") != std::string::npos) {
            FOnLine(FLine);
        }
        FLine.clear();
    }

private:
    std::function<void(const std::string&)> FOnLine;
    std::string FLine;
};

void IgnoreBrokenPipes() {
    // A reader that went away must surface as EPIPE, never kill the logger.
    static const bool once = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)once;
}

} // namespace

void StartDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    if (argv.empty()) {
        throw std::system_error(ENOENT, std::generic_category(), "empty command line");
    }
    std::vector<char*> args = ArgPointers(argv);
    // Ours, with the additions in place of any of the same name.
    std::vector<std::string> variables = environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& v) { return v.starts_with(name); })) {
            variables.emplace_back(entry);
        }
    }
    std::vector<char*> envp = ArgPointers(variables);

    TSpawnActions actions;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions.Actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY,
                                         0);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions.Actions, 3);
    TSpawnAttr attr;
    // Its own session: closing the logger's terminal must not close a file manager.
    attr.DefaultSignals(POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions.Actions, &attr.Attr, args.data(), envp.data());
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), argv[0]);
    }
    // Reaped in the background so that it never lingers as a zombie.
    std::thread([pid] {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

TBoundedRun RunBounded(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                       const std::atomic<bool>& cancel, const std::function<void(const std::string&)>& onLine) {
    if (argv.empty()) {
        throw std::system_error(ENOENT, std::generic_category(), "empty command line");
    }
    TPipe output;
    TSpawnActions actions;
    posix_spawn_file_actions_addopen(&actions.Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.Actions, output.Write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions.Actions, output.Write, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions.Actions, 3);
    TSpawnAttr attr;
    attr.DefaultSignals(POSIX_SPAWN_SETSID); // its own group, killed as a whole
    std::vector<char*> args = ArgPointers(argv);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions.Actions, &attr.Attr, args.data(), environ);
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), argv[0]);
    }
    output.CloseWrite();

    TBoundedRun result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TLineSplitter lines(onLine);
    int status = 0;
    bool exited = false;
    bool open = true;
    // Until the program has ended and said all it had; a child it left behind
    // holding the pipe does not keep this waiting.
    while (!exited || open) {
        if (!exited) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            exited = done == pid || (done < 0 && errno != EINTR);
        }
        if (cancel.load() || std::chrono::steady_clock::now() >= deadline) {
            if (!exited) {
                kill(-pid, SIGKILL);
                result.Killed = true;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
            break;
        }
        pollfd pfd{output.Read, POLLIN, 0};
        if (poll(&pfd, 1, exited ? 0 : 100) <= 0) {
            if (exited) {
                break;
            }
            continue;
        }
        char buf[4096];
        const ssize_t n = read(output.Read, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            open = false;
            continue;
        }
        lines.Feed(buf, static_cast<std::size_t>(n));
    }
    lines.Flush();
    result.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 0;
    return result;
}

TChildProcess::TChildProcess(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        throw std::system_error(ENOENT, std::generic_category(), "empty command line");
    }
    IgnoreBrokenPipes();
    TPipe input;
    TPipe errors;

    TSpawnActions actions;
    posix_spawn_file_actions_adddup2(&actions.Actions, input.Read, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions.Actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.Actions, errors.Write, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions.Actions, 3);

    TSpawnAttr attr;
    // Its own process group: a Ctrl-C meant for the logger must not kill the
    // encoder before the logger has finished its file.
    posix_spawnattr_setpgroup(&attr.Attr, 0);
    attr.DefaultSignals(POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args = ArgPointers(argv);

    const int rc = posix_spawnp(&FPid, args[0], &actions.Actions, &attr.Attr, args.data(), environ);
    if (rc != 0) {
        FPid = -1;
        throw std::system_error(rc, std::generic_category(), argv[0]);
    }
    input.CloseRead();
    errors.CloseWrite();
    FInput = input.ReleaseWrite();
    fcntl(FInput, F_SETFL, fcntl(FInput, F_GETFL) | O_NONBLOCK);
    // Room for jitter of the program; the default may stay when this is refused.
    fcntl(FInput, F_SETPIPE_SZ, 1 << 20);
    FDrain = std::thread(&TChildProcess::DrainErrors, FState, FPid, errors.ReleaseRead());
}

TChildProcess::~TChildProcess() { Finish(std::chrono::seconds(10)); }

void TChildProcess::DrainErrors(const std::shared_ptr<TState>& state, pid_t pid, int fd) noexcept {
    pthread_setname_np(pthread_self(), "encoder-stderr");
    try {
        KeepLastLine(*state, fd);
    } catch (...) {
        // No memory for a line: drain on without keeping any, or the program stalls on a full pipe.
        char buf[4096];
        for (ssize_t n = 1; n > 0 || (n < 0 && errno == EINTR);) {
            n = read(fd, buf, sizeof buf);
        }
    }
    close(fd);
    Reap(*state, pid);
}

void TChildProcess::KeepLastLine(TState& state, int fd) {
    // The last line that says something.
    TLineSplitter lines([&state](const std::string& line) {
        std::lock_guard guard(state.Lock);
        state.LastLine = line;
    });
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        lines.Feed(buf, static_cast<std::size_t>(n));
    }
    lines.Flush();
}

void TChildProcess::Reap(TState& state, pid_t pid) noexcept {
    // Wait without reaping, so that Finish can still kill this pid safely under
    // the state's lock; reap under the lock.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard guard(state.Lock);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    state.WaitStatus = status;
    state.Exited = true;
    state.ExitedChanged.notify_all();
}

void TChildProcess::CloseInput() {
    if (FInput >= 0) {
        close(FInput);
        FInput = -1;
    }
}

TChildProcess::TWriteResult TChildProcess::WriteInput(const void* data, std::size_t bytes,
                                                      std::chrono::milliseconds timeout, std::size_t& written) {
    written = 0;
    if (FInput < 0) {
        return TWriteResult::Closed;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const char* p = static_cast<const char*>(data);
    while (written < bytes) {
        const ssize_t n = write(FInput, p + written, bytes - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return TWriteResult::TimedOut;
            }
            pollfd pfd{FInput, POLLOUT, 0};
            poll(&pfd, 1, static_cast<int>(left.count()));
            continue;
        }
        return TWriteResult::Closed; // EPIPE or worse: the program does not read any more
    }
    return TWriteResult::Written;
}

bool TChildProcess::Finish(std::chrono::milliseconds timeout) {
    if (FPid < 0) {
        return true;
    }
    CloseInput();
    bool byItself = true;
    bool gone = true;
    {
        std::unique_lock lock(FState->Lock);
        if (!FState->ExitedChanged.wait_for(lock, timeout, [this] { return FState->Exited; })) {
            // Not reaped yet (reaping happens under this lock), so the pid and
            // its group are still ours; the group takes any helper it started.
            kill(-FPid, SIGKILL);
            kill(FPid, SIGKILL);
            byItself = false;
            gone = FState->ExitedChanged.wait_for(lock, KillGrace, [this] { return FState->Exited; });
        }
    }
    if (FDrain.joinable()) {
        if (gone) {
            FDrain.join();
        } else {
            FDrain.detach(); // it reaps the program if it ever goes; the state outlives this object
        }
    }
    FPid = -1;
    return byItself;
}

bool TChildProcess::Exited() const {
    std::lock_guard guard(FState->Lock);
    return FState->Exited;
}

int TChildProcess::WaitStatus() const {
    std::lock_guard guard(FState->Lock);
    return FState->WaitStatus;
}

std::string TChildProcess::LastErrorLine() const {
    std::lock_guard guard(FState->Lock);
    return FState->LastLine;
}
