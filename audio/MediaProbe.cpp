#include "MediaProbe.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

namespace {
struct InputContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
} // namespace

std::optional<double> ProbeDuration(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    std::unique_ptr<AVFormatContext, InputContextDeleter> ctx(raw);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0 || ctx->duration == AV_NOPTS_VALUE || ctx->duration < 0) {
        return std::nullopt;
    }
    return static_cast<double>(ctx->duration) / AV_TIME_BASE;
}
