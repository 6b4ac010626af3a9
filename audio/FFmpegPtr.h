#pragma once

// Owners for the FFmpeg objects the engine uses.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace FFmpeg {

struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrDeleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
// An input context together with what it opened.
struct InputContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
// An output context together with the file it opened; an I/O context of the
// caller's own (AVFMT_FLAG_CUSTOM_IO) stays the caller's.
struct OutputContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (p->pb != nullptr && !(p->oformat->flags & AVFMT_NOFILE) && !(p->flags & AVFMT_FLAG_CUSTOM_IO)) {
            avio_closep(&p->pb);
        }
        avformat_free_context(p);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

} // namespace FFmpeg
