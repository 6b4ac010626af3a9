// GCC 12 takes std::regex's own std::function members for uninitialised when
// the sanitizers are on. The warning is placed in the library headers, so they
// are read first with it off; nothing of this file is covered.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <functional>
#include <regex>
#pragma GCC diagnostic pop

#include "UrlStream.h"

#include "FFmpegPtr.h"
#include "PushStream.h"
#include "basserrors.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

struct InputContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

struct AvioDeleter {
    void operator()(AVIOContext* p) const { avio_closep(&p); }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

// An AVDictionary owner that hands FFmpeg the raw pointer it wants to rewrite.
class TOptions {
public:
    void Set(const char* key, const std::string& value) { av_dict_set(&FDict, key, value.c_str(), 0); }
    AVDictionary** Get() { return &FDict; }
    ~TOptions() { av_dict_free(&FDict); }

private:
    AVDictionary* FDict = nullptr;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The path's extension, lower case, without query or fragment.
std::string ExtensionOf(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    // Only the path counts: a host name's dots are no extension.
    if (const auto scheme = path.find("://"); scheme != std::string::npos) {
        const auto pathStart = path.find('/', scheme + 3);
        path = pathStart == std::string::npos ? std::string() : path.substr(pathStart);
    }
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    return Lower(path.substr(dot + 1));
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// The first entry of a .pls (File1=) or plain m3u (first non-comment line).
std::optional<std::string> FirstPlaylistEntry(const std::string& text, bool pls) {
    std::size_t at = 0;
    std::optional<std::string> firstFile;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (pls) {
            const std::string key = Lower(line.substr(0, line.find('=')));
            if (key == "file1") {
                return Trim(line.substr(line.find('=') + 1));
            }
            // Some lists number from another value; the first File entry will do.
            if (!firstFile && key.rfind("file", 0) == 0 && line.find('=') != std::string::npos) {
                firstFile = Trim(line.substr(line.find('=') + 1));
            }
        } else if (!line.empty() && line[0] != '#') {
            return line;
        }
    }
    return firstFile;
}

// A playlist entry relative to the playlist's own URL made absolute.
std::string Resolve(const std::string& base, const std::string& entry) {
    if (entry.empty() || entry.find("://") != std::string::npos) {
        return entry;
    }
    const auto scheme = base.find("://");
    if (scheme == std::string::npos) {
        // A local playlist: relative to its folder.
        if (entry[0] == '/') {
            return entry;
        }
        const auto slash = base.find_last_of('/');
        return slash == std::string::npos ? entry : base.substr(0, slash + 1) + entry;
    }
    const std::string path = base.substr(0, base.find_first_of("?#"));
    const auto pathStart = path.find('/', scheme + 3);
    if (entry[0] == '/' || pathStart == std::string::npos) {
        return path.substr(0, pathStart) + (entry[0] == '/' ? "" : "/") + entry;
    }
    return path.substr(0, path.find_last_of('/') + 1) + entry;
}

bool IsPlaylistMime(const std::string& mime, bool& pls) {
    const std::string m = Lower(mime.substr(0, mime.find(';')));
    if (m == "audio/x-scpls") {
        pls = true;
        return true;
    }
    if (m == "audio/x-mpegurl" || m == "audio/mpegurl" || m == "application/vnd.apple.mpegurl" ||
        m == "application/x-mpegurl") {
        pls = false;
        return true;
    }
    return false;
}

std::string OptionString(void* object, const char* name) {
    std::uint8_t* value = nullptr;
    if (av_opt_get(object, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || value == nullptr) {
        return {};
    }
    std::string s(reinterpret_cast<const char*>(value));
    av_free(value);
    return s;
}

} // namespace

std::optional<std::string> StreamTitleOf(const std::string& meta) {
    static const std::regex pattern("StreamTitle='([\\s\\S]*?)';");
    std::smatch match;
    if (!std::regex_search(meta, match, pattern)) {
        return std::nullopt;
    }
    return match[1].str();
}

struct TUrlStream::TDecoder {
    AvioPtr Io; // the connection; the format context reads through it
    InputContextPtr Format;
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

void TUrlStream::Open(const std::string& firstUrl, std::shared_ptr<TPushStream> queuedBefore) {
    if (FDecoder || FThread.joinable()) {
        throw TAudioError("Open", BassError::Already);
    }
    auto dec = std::make_unique<TDecoder>();
    const AVIOInterruptCB interrupt{&TUrlStream::InterruptCallback, this};
    const std::string networkUs = std::to_string(FTimeouts.Network.count() * 1000);

    // Maps a failed FFmpeg call during the connect to the engine's codes.
    auto fail = [this](const char* step, int err, int otherwise) -> TAudioError {
        if (FStop.load()) {
            return TAudioError(std::string(step) + " (stopped)", BassError::Ended);
        }
        if (FDeadlineHit.load() || err == AVERROR(ETIMEDOUT)) {
            return TAudioError(step, BassError::Timeout);
        }
        if (err == AVERROR_INVALIDDATA) {
            return TAudioError(step, BassError::FileForm);
        }
        return TAudioError(step, otherwise);
    };

    // One deadline covers the whole connect: playlist, probing and all.
    SetDeadline(FTimeouts.Network);
    std::string url = firstUrl;
    bool hls = false;
    bool pls = false;
    for (int hops = 0;; ++hops) {
        if (hops > 4) {
            throw TAudioError("Playlist", BassError::FileForm);
        }
        TOptions ioOptions;
        ioOptions.Set("icy", "1");
        ioOptions.Set("rw_timeout", networkUs);
        ioOptions.Set("reconnect", "0");
        ioOptions.Set("user_agent", "rudazodudad");
        AVIOContext* rawIo = nullptr;
        const int opened = avio_open2(&rawIo, url.c_str(), AVIO_FLAG_READ, &interrupt, ioOptions.Get());
        if (opened < 0) {
            throw fail("Connect", opened, BassError::FileOpen);
        }
        AvioPtr io(rawIo);

        const std::string ext = ExtensionOf(url);
        bool isList = false;
        if (ext == "pls") {
            isList = true;
            pls = true;
        } else if (ext == "m3u" || ext == "m3u8") {
            isList = true;
            pls = false;
        } else {
            isList = IsPlaylistMime(OptionString(io.get(), "mime_type"), pls);
        }
        if (!isList) {
            dec->Io = std::move(io);
            break;
        }
        // A playlist is small; more than this is not one we follow.
        std::string text;
        std::vector<unsigned char> buf(4096);
        while (text.size() < 256 * 1024) {
            const int n = avio_read(io.get(), buf.data(), static_cast<int>(buf.size()));
            if (n == AVERROR_EOF || n == 0) {
                break;
            }
            if (n < 0) {
                throw fail("Playlist", n, BassError::FileOpen);
            }
            text.append(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(n));
        }
        if (!pls && text.find("#EXT-X-") != std::string::npos) {
            // HLS: FFmpeg's own demuxer fetches it again by URL.
            hls = true;
            break;
        }
        const auto entry = FirstPlaylistEntry(text, pls);
        if (!entry || entry->empty()) {
            throw TAudioError("Playlist", BassError::FileForm);
        }
        url = Resolve(url, *entry);
    }

    AVFormatContext* rawFormat = avformat_alloc_context();
    if (rawFormat == nullptr) {
        throw TAudioError("Open", BassError::Mem);
    }
    rawFormat->interrupt_callback = interrupt;
    if (dec->Io) {
        rawFormat->pb = dec->Io.get();
        rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    TOptions formatOptions;
    // Small probes: a live stream should start within a fraction of a second.
    formatOptions.Set("formatprobesize", "32768");
    formatOptions.Set("probesize", "16384");
    formatOptions.Set("fpsprobesize", "0");
    formatOptions.Set("analyzeduration", "500000");
    formatOptions.Set("icy", "1");
    formatOptions.Set("rw_timeout", networkUs);
    formatOptions.Set("reconnect", "0");
    // On failure avformat_open_input frees the context (never a custom pb).
    const int openedFormat = avformat_open_input(&rawFormat, url.c_str(), nullptr, formatOptions.Get());
    if (openedFormat < 0) {
        throw fail("Open", openedFormat, hls ? BassError::FileOpen : BassError::FileForm);
    }
    dec->Format.reset(rawFormat);
    const int info = avformat_find_stream_info(dec->Format.get(), nullptr);
    if (info < 0) {
        throw fail("Probe", info, BassError::FileForm);
    }
    const AVCodec* codec = nullptr;
    const int best = av_find_best_stream(dec->Format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (best == AVERROR_DECODER_NOT_FOUND) {
        throw TAudioError("Decoder", BassError::Codec);
    }
    if (best < 0) {
        throw fail("Probe", best, BassError::FileForm);
    }
    dec->StreamIndex = best;
    AVStream* st = dec->Format->streams[best];
    if (st->codecpar->sample_rate <= 0 || st->codecpar->ch_layout.nb_channels <= 0) {
        throw fail("Probe", 0, BassError::FileForm);
    }
    dec->Codec.reset(avcodec_alloc_context3(codec));
    if (!dec->Codec || avcodec_parameters_to_context(dec->Codec.get(), st->codecpar) < 0) {
        throw TAudioError("Decoder", BassError::Mem);
    }
    if (avcodec_open2(dec->Codec.get(), codec, nullptr) < 0) {
        throw TAudioError("Decoder", BassError::Codec);
    }
    for (unsigned i = 0; i < dec->Format->nb_streams; ++i) {
        if (static_cast<int>(i) != best) {
            dec->Format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    dec->Packet.reset(av_packet_alloc());
    dec->Frame.reset(av_frame_alloc());
    if (!dec->Packet || !dec->Frame) {
        throw TAudioError("Open", BassError::Mem);
    }
    ClearDeadline();

    const int rate = st->codecpar->sample_rate;
    if (queuedBefore && queuedBefore->Rate() == rate && queuedBefore->QueuedFrames() > 0) {
        FFifo = std::move(queuedBefore); // its producer has stopped: the new audio follows on
    } else {
        FFifo = std::make_shared<TPushStream>(rate, 2, BufferAheadSeconds * 2);
    }
    FRate.store(rate, std::memory_order_release);
    FDecoder = std::move(dec);
    UpdateMeta(false);
    std::lock_guard guard(FStopLock);
    if (FStop.load()) {
        throw TAudioError("Open (stopped)", BassError::Ended);
    }
    FThread = std::thread([this] { Run(); });
}

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
            return;
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
            return;
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
    FEnded.store(true, std::memory_order_release);
    if (FCallbacks.OnEnded) {
        FCallbacks.OnEnded();
    }
}
