#include "UrlStream.h"

#include "PushStream.h"
#include "UrlStreamDecoder.h"
#include "basserrors.h"

#include <algorithm>

using namespace UrlStreamDetail;

std::shared_ptr<TUrlStream> TUrlStream::Create(const std::string& url, TCallbacks callbacks, TTimeouts timeouts) {
    auto stream = std::make_shared<TUrlStream>(std::move(callbacks), timeouts);
    stream->Open(url);
    return stream;
}

TUrlStream::TUrlStream(TCallbacks callbacks, TTimeouts timeouts)
    : FCallbacks(std::move(callbacks)), FTimeouts(timeouts) {}

TUrlStream::~TUrlStream() {
    Stop();
    if (FThread.joinable()) {
        // Only when a callback dropped the last reference; the thread touches
        // nothing after its last callback returns.
        FThread.detach();
    }
}

int TUrlStream::InterruptCallback(void* opaque) {
    auto* self = static_cast<TUrlStream*>(opaque);
    if (self->FStop.load(std::memory_order_acquire)) {
        return 1;
    }
    const std::int64_t deadline = self->FDeadline.load(std::memory_order_acquire);
    if (deadline != 0 && NowNs() > deadline) {
        self->FDeadlineHit.store(true, std::memory_order_release);
        return 1;
    }
    return 0;
}

void TUrlStream::SetDeadline(std::chrono::milliseconds fromNow) {
    FDeadlineHit.store(false, std::memory_order_release);
    FDeadline.store(NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(fromNow).count(),
                    std::memory_order_release);
}

void TUrlStream::ClearDeadline() { FDeadline.store(0, std::memory_order_release); }

void TUrlStream::Stop() {
    {
        std::lock_guard wait(FWaitLock);
        FStop.store(true, std::memory_order_release);
    }
    FWake.notify_all();
    // From a callback: the thread sees the flag when the callback returns.
    if (FDecodingThread.load() == std::this_thread::get_id()) {
        return;
    }
    std::lock_guard guard(FStopLock);
    if (FThread.joinable()) {
        FThread.join();
    }
}

std::size_t TUrlStream::Read(float* dst, std::size_t frames) {
    // FFifo is set before the stream is handed out and never changes after.
    if (!FFifo) {
        return 0;
    }
    const auto now = TClock::now();
    if (!FPlaying) {
        if (FFifo->QueuedFrames() == 0) {
            return 0;
        }
        FPlaying = true;
        FPlayStart = now;
        FPlayed = 0;
    }
    const auto due = static_cast<std::uint64_t>(std::chrono::duration<double>(now - FPlayStart).count() * Rate());
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(frames, due - std::min(due, FPlayed)));
    const std::size_t got = FFifo->Read(dst, wanted);
    FPlayed += got;
    if (got < wanted) {
        FPlaying = false; // ran dry: a late packet is not caught up with a burst
    }
    return got;
}

std::optional<std::string> TUrlStream::Meta() const {
    std::lock_guard guard(FMetaLock);
    return FMeta;
}

void TUrlStream::UpdateMeta(bool notify) {
    const std::string packet = OptionString(FDecoder->Format.get(), "icy_metadata_packet");
    if (packet.empty()) {
        return;
    }
    bool changed = false;
    {
        std::lock_guard guard(FMetaLock);
        if (!FMeta || *FMeta != packet) {
            FMeta = packet;
            changed = true;
        }
    }
    if (changed && notify && FCallbacks.OnMeta) {
        FCallbacks.OnMeta();
    }
}

void TUrlStream::Run() {
    FDecodingThread.store(std::this_thread::get_id());
    const TFFmpegLog::TScope logScope(FCallbacks.Log);
    bool ended = true;
    try {
        ended = Decode();
    } catch (...) {
        // A failure of the decoding itself (no memory) ends this connection
        // like a network error: the slot reconnects.
        ended = !FStop.load(std::memory_order_acquire);
    }
    if (!ended) {
        return; // stopped: no callback
    }
    FEnded.store(true, std::memory_order_release);
    if (FCallbacks.OnEnded) {
        FCallbacks.OnEnded();
    }
}

bool TUrlStream::Decode() {
    TDecoder& d = *FDecoder;
    const std::size_t aheadFrames = static_cast<std::size_t>(BufferAheadSeconds * FFifo->Rate());

    // Converts one decoded frame to stereo float at the stream's rate and queues it.
    auto deliver = [&](AVFrame* frame) -> bool {
        if (!d.Swr || d.SwrRate != frame->sample_rate || d.SwrFormat != frame->format ||
            av_channel_layout_compare(&d.SwrLayout, &frame->ch_layout) != 0) {
            d.OutChannels = frame->ch_layout.nb_channels == 1 ? 1 : 2;
            AVChannelLayout outLayout;
            av_channel_layout_default(&outLayout, d.OutChannels);
            SwrContext* raw = nullptr;
            if (swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT, FFifo->Rate(), &frame->ch_layout,
                                    static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                    nullptr) < 0) {
                return false;
            }
            d.Swr.reset(raw);
            if (swr_init(raw) < 0) {
                d.Swr.reset();
                return false;
            }
            d.SwrRate = frame->sample_rate;
            d.SwrFormat = frame->format;
            av_channel_layout_uninit(&d.SwrLayout);
            av_channel_layout_copy(&d.SwrLayout, &frame->ch_layout);
        }
        const int maxOut = swr_get_out_samples(d.Swr.get(), frame->nb_samples);
        if (maxOut <= 0) {
            return true;
        }
        d.Converted.resize(static_cast<std::size_t>(maxOut) * static_cast<std::size_t>(d.OutChannels));
        auto* out = reinterpret_cast<std::uint8_t*>(d.Converted.data());
        const int n = swr_convert(d.Swr.get(), &out, maxOut, const_cast<const std::uint8_t**>(frame->extended_data),
                                  frame->nb_samples);
        if (n <= 0) {
            return n == 0;
        }
        const std::size_t frames = static_cast<std::size_t>(n);
        if (d.OutChannels == 1) {
            // A mono source plays at full level on both sides.
            d.Stereo.resize(frames * 2);
            for (std::size_t i = 0; i < frames; ++i) {
                d.Stereo[2 * i] = d.Stereo[2 * i + 1] = d.Converted[i];
            }
            FFifo->Put(d.Stereo.data(), frames * 2 * sizeof(float));
        } else {
            FFifo->Put(d.Converted.data(), frames * 2 * sizeof(float));
        }
        return true;
    };

    // Sends a packet (or nullptr to flush) and queues every frame it yields.
    // Returns true when audio came out.
    auto decode = [&](AVPacket* packet) -> bool {
        bool any = false;
        if (avcodec_send_packet(d.Codec.get(), packet) < 0 && packet == nullptr) {
            return false;
        }
        while (avcodec_receive_frame(d.Codec.get(), d.Frame.get()) >= 0) {
            if (d.Frame->nb_samples > 0 && deliver(d.Frame.get())) {
                any = true;
            }
            av_frame_unref(d.Frame.get());
        }
        return any;
    };

    auto lastAudio = TClock::now();
    for (;;) {
        if (FStop.load(std::memory_order_acquire)) {
            return false;
        }
        // Held to real time: no more than BufferAheadSeconds queued.
        if (FFifo->QueuedFrames() > aheadFrames) {
            std::unique_lock lock(FWaitLock);
            FWake.wait_for(lock, std::chrono::milliseconds(50), [this] { return FStop.load(); });
            // Waiting for the mixer is no stall of the server.
            lastAudio = TClock::now();
            continue;
        }
        const auto sinceAudio = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - lastAudio);
        SetDeadline(std::max(FTimeouts.Stall - sinceAudio, std::chrono::milliseconds(0)));
        const int r = av_read_frame(d.Format.get(), d.Packet.get());
        ClearDeadline();
        if (r == AVERROR(EAGAIN)) {
            continue;
        }
        if (FStop.load(std::memory_order_acquire)) {
            av_packet_unref(d.Packet.get());
            return false;
        }
        if (r < 0) {
            // End of data, a network error or a stall: what was decoded still plays.
            if (!FDeadlineHit.load()) {
                decode(nullptr);
            }
            break;
        }
        UpdateMeta(true);
        if (d.Packet->stream_index == d.StreamIndex && decode(d.Packet.get())) {
            lastAudio = TClock::now();
        }
        av_packet_unref(d.Packet.get());
        if (TClock::now() - lastAudio > FTimeouts.Stall) {
            break; // data keeps coming but no audio in it
        }
    }
    return true;
}
