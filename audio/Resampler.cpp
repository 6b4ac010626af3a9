#include "Resampler.h"

#include "basserrors.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

TResampler::TResampler(int inRate, int outRate, int channels)
    : FInRate(inRate), FOutRate(outRate), FChannels(channels) {
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext* swr = nullptr;
    int rc = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLT, outRate, &layout, AV_SAMPLE_FMT_FLT, inRate,
                                 0, nullptr);
    FSwr.reset(swr);
    av_channel_layout_uninit(&layout);
    if (rc < 0) {
        throw TAudioError(BassError::Format);
    }
    if (swr_init(FSwr.get()) < 0) {
        throw TAudioError(BassError::Format);
    }
}

std::size_t TResampler::InputFor(std::size_t outFrames) const {
    return static_cast<std::size_t>(
        av_rescale_rnd(static_cast<int64_t>(outFrames), FInRate, FOutRate, AV_ROUND_UP));
}

std::size_t TResampler::Convert(const float* in, std::size_t inFrames, float* out, std::size_t outCapacity) {
    const uint8_t* inPlanes[1] = {reinterpret_cast<const uint8_t*>(in)};
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out)};
    // A non-null input with a count of 0 hands out what is held without flushing.
    const int n = swr_convert(FSwr.get(), outPlanes, static_cast<int>(outCapacity), inPlanes,
                              static_cast<int>(inFrames));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}
