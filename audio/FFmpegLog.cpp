#include "FFmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>

namespace {

// The log of this thread's scope, and what FFmpeg has said of its current line so far.
thread_local TFFmpegLog* CurrentLog = nullptr;
thread_local std::string PartialLine;

void Route(void* context, int level, const char* format, va_list args) {
    TFFmpegLog* log = CurrentLog;
    if (log == nullptr) {
        av_log_default_callback(context, level, format, args);
        return;
    }
    if (level > (log->ErrorsOnly() ? AV_LOG_ERROR : AV_LOG_WARNING)) {
        return;
    }
    try {
        char text[1024];
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        if (PartialLine.empty() && context != nullptr) {
            // "http: ", "mp3: ": which part of FFmpeg speaks.
            const AVClass* avClass = *static_cast<AVClass**>(context);
            if (avClass != nullptr && avClass->item_name != nullptr) {
                PartialLine = std::string(avClass->item_name(context)) + ": ";
            }
        }
        PartialLine += text;
        if (!PartialLine.empty() && PartialLine.back() == '\n') {
            PartialLine.pop_back();
            log->Line(PartialLine);
            PartialLine.clear();
        }
    } catch (...) {
        PartialLine.clear(); // out of memory: the line is lost, not the program
    }
}

} // namespace

void TFFmpegLog::Line(const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard guard(FLock);
        const auto it = FLastTold.find(text);
        if (it != FLastTold.end() && now - it->second < RepeatInterval) {
            return;
        }
        if (FLastTold.size() >= MaxRemembered) {
            std::erase_if(FLastTold, [&](const auto& entry) { return now - entry.second >= RepeatInterval; });
            if (FLastTold.size() >= MaxRemembered) {
                FLastTold.clear();
            }
        }
        FLastTold[text] = now;
    }
    if (FSink) {
        FSink(text);
    }
}

TFFmpegLog::TScope::TScope(std::shared_ptr<TFFmpegLog> log) : FLog(std::move(log)), FPrevious(CurrentLog) {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(Route); });
    CurrentLog = FLog.get();
}

TFFmpegLog::TScope::~TScope() {
    CurrentLog = FPrevious;
    PartialLine.clear();
}
