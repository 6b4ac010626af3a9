#include "MediaProbe.h"

#include "FFmpegPtr.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>

namespace {
struct InputContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
} // namespace

std::optional<double> MeasureDuration(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    std::unique_ptr<AVFormatContext, InputContextDeleter> ctx(raw);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0) {
        return std::nullopt;
    }
    const int audio = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio < 0) {
        return std::nullopt;
    }
    const AVRational base = ctx->streams[audio]->time_base;
    FFmpeg::PacketPtr packet(av_packet_alloc());
    if (!packet) {
        return std::nullopt;
    }
    std::int64_t total = 0;
    while (av_read_frame(ctx.get(), packet.get()) >= 0) {
        if (packet->stream_index == audio && packet->duration > 0) {
            total += packet->duration;
        }
        av_packet_unref(packet.get());
    }
    return static_cast<double>(total) * av_q2d(base);
}

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
