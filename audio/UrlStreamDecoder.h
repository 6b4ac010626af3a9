#pragma once

// What the two halves of a URL stream share: the connect (UrlStreamOpen.cpp)
// builds the decoder that the decoding thread (UrlStream.cpp) then owns.
#include "FFmpegPtr.h"
#include "UrlStream.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace UrlStreamDetail {

using TClock = std::chrono::steady_clock;

inline std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

struct AvioDeleter {
    void operator()(AVIOContext* p) const { avio_closep(&p); }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

// A string option of an FFmpeg object (or its children); "" when it has none.
inline std::string OptionString(void* object, const char* name) {
    std::uint8_t* value = nullptr;
    if (av_opt_get(object, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || value == nullptr) {
        return {};
    }
    std::string s(reinterpret_cast<const char*>(value));
    av_free(value);
    return s;
}

} // namespace UrlStreamDetail

struct TUrlStream::TDecoder {
    UrlStreamDetail::AvioPtr Io; // the connection; the format context reads through it
    FFmpeg::InputContextPtr Format;
    FFmpeg::CodecContextPtr Codec;
    FFmpeg::SwrPtr Swr;
    FFmpeg::PacketPtr Packet;
    FFmpeg::FramePtr Frame;
    int StreamIndex = -1;
    int OutChannels = 2; // what the resampler makes: 1 for mono sources, duplicated afterwards
    // What the resampler was set up for, to notice a change mid-stream.
    int SwrRate = 0;
    int SwrFormat = -1;
    AVChannelLayout SwrLayout{};
    std::vector<float> Converted;
    std::vector<float> Stereo;

    ~TDecoder() {
        av_channel_layout_uninit(&SwrLayout);
        // The format context reads through Io, so it must go first.
        Format.reset();
        Io.reset();
    }
};
