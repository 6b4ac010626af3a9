#include "WmaEncoder.h"

#include "AudioFormat.h"
#include "basserrors.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int MinRate = 8000;
constexpr int MaxRate = 48000;
constexpr int OfferedBitrates[] = {32000, 48000, 64000, 80000, 96000, 128000, 160000, 192000, 256000, 320000};

const AVCodec* FindWmaCodec() { return avcodec_find_encoder(AV_CODEC_ID_WMAV2); }

// An opened codec context, or null when the codec refuses the parameters.
FFmpeg::CodecContextPtr OpenCodec(const AVCodec* codec, int rate, int channels, int bitrate, bool globalHeader) {
    FFmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        throw TAudioError(BassError::Mem);
    }
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = rate;
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->bit_rate = bitrate;
    ctx->time_base = AVRational{1, rate};
    if (globalHeader) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        return nullptr;
    }
    return ctx;
}

} // namespace

std::vector<int> TWmaEncoder::GetRates(int rate, int channels, TKind kind) {
    std::vector<int> rates;
    const AVCodec* codec = FindWmaCodec();
    if (kind == TKind::Pro || codec == nullptr || rate < MinRate || rate > MaxRate ||
        (channels != 1 && channels != 2)) {
        return rates;
    }
    for (int bitrate : OfferedBitrates) {
        if (OpenCodec(codec, rate, channels, bitrate, false)) {
            rates.push_back(bitrate);
        }
    }
    return rates;
}

TWmaEncoder::TWmaEncoder(int rate, int channels, int bitrate, const std::string& path, TKind kind)
    : FChannels(channels) {
    const AVCodec* codec = FindWmaCodec();
    if (kind == TKind::Pro || codec == nullptr) {
        throw TAudioError(BassError::Codec);
    }
    if (channels != 1 && channels != 2) {
        throw TAudioError(BassError::Format);
    }
    if (rate < MinRate || rate > MaxRate) {
        throw TAudioError(BassError::Freq);
    }

    AVFormatContext* format = nullptr;
    if (avformat_alloc_output_context2(&format, nullptr, "asf", path.c_str()) < 0 || format == nullptr) {
        throw TAudioError(BassError::Codec);
    }
    FFormat.reset(format);

    FCodec = OpenCodec(codec, rate, channels, bitrate, (format->oformat->flags & AVFMT_GLOBALHEADER) != 0);
    if (!FCodec) {
        throw TAudioError(BassError::IllegalParam);
    }
    FStream = avformat_new_stream(format, nullptr);
    if (FStream == nullptr || avcodec_parameters_from_context(FStream->codecpar, FCodec.get()) < 0) {
        throw TAudioError(BassError::Mem);
    }
    FStream->time_base = FCodec->time_base;

    if (avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
        throw TAudioError(BassError::FileOpen);
    }
    if (avformat_write_header(format, nullptr) < 0) {
        throw TAudioError(BassError::FileOpen);
    }

    FFrame.reset(av_frame_alloc());
    FPacket.reset(av_packet_alloc());
    if (!FFrame || !FPacket) {
        throw TAudioError(BassError::Mem);
    }
    FFrame->format = AV_SAMPLE_FMT_FLTP;
    FFrame->sample_rate = rate;
    FFrame->nb_samples = FCodec->frame_size > 0 ? FCodec->frame_size : 2048;
    av_channel_layout_copy(&FFrame->ch_layout, &FCodec->ch_layout);
    if (av_frame_get_buffer(FFrame.get(), 0) < 0) {
        throw TAudioError(BassError::Mem);
    }
    for (auto& frame : FRecent) {
        frame.assign(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(FFrame->nb_samples)));
    }
}

void TWmaEncoder::SendWhole(const std::vector<std::vector<float>>& frame) {
    if (FFailed || av_frame_make_writable(FFrame.get()) < 0) {
        FFailed = true;
        return;
    }
    for (int ch = 0; ch < FChannels; ++ch) {
        std::copy(frame[ch].begin(), frame[ch].end(), reinterpret_cast<float*>(FFrame->data[ch]));
    }
    FFill = FFrame->nb_samples;
    SendFrame(false);
}

void TWmaEncoder::Start(TWmaEncoder* before) {
    FStarted = true;
    if (before == nullptr) {
        SendWhole(FRecent[1]); // silence, to prime the decoder
        return;
    }
    // The frame before the last primes the decoder; the last, which the
    // previous file ends with faded out, is heard again in full here.
    SendWhole(before->FRecent[0]);
    SendWhole(before->FRecent[1]);
    if (FFailed || av_frame_make_writable(FFrame.get()) < 0) {
        FFailed = true;
        return;
    }
    for (int ch = 0; ch < FChannels; ++ch) {
        const float* part = reinterpret_cast<const float*>(before->FFrame->data[ch]);
        std::copy(part, part + before->FFill, reinterpret_cast<float*>(FFrame->data[ch]));
    }
    FFill = before->FFill;
    before->FContinued = true;
}

void TWmaEncoder::ContinueFrom(TFileEncoder& previous) {
    auto* before = dynamic_cast<TWmaEncoder*>(&previous);
    if (FStarted || before == nullptr || before->FChannels != FChannels || before->FFailed || before->FClosed ||
        !before->FStarted || before->FCodec->sample_rate != FCodec->sample_rate ||
        before->FFrame->nb_samples != FFrame->nb_samples) {
        return; // no seamless join: this file starts with silence
    }
    Start(before);
}

TWmaEncoder::~TWmaEncoder() { Close(); }

void TWmaEncoder::Finish() {
    if (!FFinishing.exchange(true)) {
        Close();
    }
}

void TWmaEncoder::FinishBy(std::chrono::steady_clock::time_point deadline) {
    if (FFinishing.exchange(true)) {
        return;
    }
    const std::shared_ptr<TWmaEncoder> self = weak_from_this().lock();
    if (!self) {
        Close();
        return;
    }
    std::promise<void> done;
    std::future<void> closed = done.get_future();
    try {
        std::thread([self, done = std::move(done)]() mutable {
            self->Close();
            done.set_value();
        }).detach();
    } catch (const std::system_error&) {
        Close(); // no thread to be had
        return;
    }
    if (closed.wait_until(deadline) != std::future_status::ready) {
        FGaveUp = true;
    }
}

void TWmaEncoder::Write(const float* samples, std::size_t bytes) {
    std::size_t frames = bytes / AudioFormat::BytesPerFrame;
    const int frameSize = FFrame ? FFrame->nb_samples : 0;
    if (!FStarted && !FClosed && !FFailed) {
        Start(nullptr);
    }
    while (frames > 0) {
        if (!FClosed && !FFailed && av_frame_make_writable(FFrame.get()) < 0) {
            FFailed = true;
        }
        if (FClosed || FFailed) {
            // What a failure left of this block never reaches the file either.
            FDroppedBytes += frames * AudioFormat::BytesPerFrame;
            return;
        }
        const int n = static_cast<int>(std::min<std::size_t>(frames, static_cast<std::size_t>(frameSize - FFill)));
        float* left = reinterpret_cast<float*>(FFrame->data[0]) + FFill;
        if (FChannels == 1) {
            for (int i = 0; i < n; ++i) {
                left[i] = 0.5f * (samples[2 * i] + samples[2 * i + 1]);
            }
        } else {
            float* right = reinterpret_cast<float*>(FFrame->data[1]) + FFill;
            for (int i = 0; i < n; ++i) {
                left[i] = samples[2 * i];
                right[i] = samples[2 * i + 1];
            }
        }
        FFill += n;
        samples += 2 * static_cast<std::size_t>(n);
        frames -= static_cast<std::size_t>(n);
        if (FFill == frameSize) {
            SendFrame(false);
        }
    }
}

void TWmaEncoder::SendFrame(bool final) {
    if (FFill > 0) {
        // The codec takes whole frames only: the last one is padded with silence.
        for (int ch = 0; ch < FChannels; ++ch) {
            float* plane = reinterpret_cast<float*>(FFrame->data[ch]);
            std::fill(plane + FFill, plane + FFrame->nb_samples, 0.0f);
        }
        if (FFill == FFrame->nb_samples) {
            std::swap(FRecent[0], FRecent[1]);
            for (int ch = 0; ch < FChannels; ++ch) {
                const float* plane = reinterpret_cast<const float*>(FFrame->data[ch]);
                std::copy(plane, plane + FFill, FRecent[1][ch].begin());
            }
        }
        FFrame->pts = FNextPts;
        FNextPts += FFrame->nb_samples;
        const int sent = FFill;
        FFill = 0;
        if (avcodec_send_frame(FCodec.get(), FFrame.get()) < 0) {
            FFailed = true;
            FDroppedBytes += static_cast<std::uint64_t>(sent) * AudioFormat::BytesPerFrame;
            return;
        }
        Drain();
    }
    if (final) {
        avcodec_send_frame(FCodec.get(), nullptr);
        Drain();
    }
}

void TWmaEncoder::Drain() {
    while (avcodec_receive_packet(FCodec.get(), FPacket.get()) == 0) {
        av_packet_rescale_ts(FPacket.get(), FCodec->time_base, FStream->time_base);
        FPacket->stream_index = FStream->index;
        if (av_interleaved_write_frame(FFormat.get(), FPacket.get()) < 0) {
            FFailed = true;
        }
        av_packet_unref(FPacket.get());
    }
}

void TWmaEncoder::Close() {
    if (FClosed || !FFormat) {
        return;
    }
    FClosed = true;
    if (!FFailed && FStarted) {
        if (FContinued) {
            FFill = 0; // the next file sends it
        } else {
            // The decoder fades out the last frame: it is silence then.
            SendFrame(false);
            SendWhole(std::vector<std::vector<float>>(static_cast<std::size_t>(FChannels),
                                                      std::vector<float>(static_cast<std::size_t>(FFrame->nb_samples))));
        }
        SendFrame(true);
    }
    av_write_trailer(FFormat.get());
    FFormat.reset(); // closes the file
}
