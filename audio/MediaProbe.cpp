#include "MediaProbe.h"

#include "FFmpegPtr.h"

#include <cstdint>

namespace {

// The file opened and its streams found; null when FFmpeg cannot read it.
FFmpeg::InputContextPtr OpenMedia(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return nullptr;
    }
    FFmpeg::InputContextPtr ctx(raw);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0) {
        return nullptr;
    }
    return ctx;
}

} // namespace

std::optional<double> MeasureDuration(const std::string& path) {
    const auto ctx = OpenMedia(path);
    const int audio = ctx ? av_find_best_stream(ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    FFmpeg::PacketPtr packet(av_packet_alloc());
    if (audio < 0 || !packet) {
        return std::nullopt;
    }
    std::int64_t total = 0;
    while (av_read_frame(ctx.get(), packet.get()) >= 0) {
        if (packet->stream_index == audio && packet->duration > 0) {
            total += packet->duration;
        }
        av_packet_unref(packet.get());
    }
    return static_cast<double>(total) * av_q2d(ctx->streams[audio]->time_base);
}

std::optional<double> ProbeDuration(const std::string& path) {
    const auto ctx = OpenMedia(path);
    if (!ctx || ctx->duration == AV_NOPTS_VALUE || ctx->duration < 0) {
        return std::nullopt;
    }
    return static_cast<double>(ctx->duration) / AV_TIME_BASE;
}

std::optional<long long> ProbeBitrate(const std::string& path) {
    const auto ctx = OpenMedia(path);
    const int audio = ctx ? av_find_best_stream(ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    if (audio < 0 || ctx->streams[audio]->codecpar->bit_rate <= 0) {
        return std::nullopt;
    }
    return ctx->streams[audio]->codecpar->bit_rate;
}
