#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// FFmpeg's own warnings and errors ("HTTP error 404" at every reconnection of a
// stream) would go to standard error without time or slot. A TScope routes
// those of its thread to one log instead, each text at most once a minute;
// informational lines are left out. Threads without a scope keep FFmpeg's
// default output.
//
// Threads: Line may be called from any thread; a scope belongs to the thread
// that made it.
class TFFmpegLog {
public:
    using TSink = std::function<void(const std::string& line)>;
    static constexpr auto RepeatInterval = std::chrono::minutes(1);

    // `errorsOnly` leaves warnings out too.
    explicit TFFmpegLog(TSink sink, bool errorsOnly = false) : FSink(std::move(sink)), FErrorsOnly(errorsOnly) {}

    bool ErrorsOnly() const { return FErrorsOnly; }

    // Passes `text` on unless the same text passed within RepeatInterval.
    void Line(const std::string& text);

    // While it lives, FFmpeg's lines of this thread go to `log` (none: nowhere
    // but FFmpeg's default output).
    class TScope {
    public:
        explicit TScope(std::shared_ptr<TFFmpegLog> log);
        ~TScope();
        TScope(const TScope&) = delete;
        TScope& operator=(const TScope&) = delete;

    private:
        std::shared_ptr<TFFmpegLog> FLog;
        TFFmpegLog* FPrevious;
    };

private:
    static constexpr std::size_t MaxRemembered = 256;

    const TSink FSink;
    const bool FErrorsOnly;
    std::mutex FLock; // guards FLastTold
    std::map<std::string, std::chrono::steady_clock::time_point> FLastTold;
};
