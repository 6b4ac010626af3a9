#include "PushStream.h"
#include "StreamText.h"
#include "UrlStreamDecoder.h"
#include "basserrors.h"

#include <vector>

using namespace UrlStreamDetail;
using namespace StreamText;

namespace {

// An AVDictionary owner that hands FFmpeg the raw pointer it wants to rewrite.
class TOptions {
public:
    void Set(const char* key, const std::string& value) { av_dict_set(&FDict, key, value.c_str(), 0); }
    AVDictionary** Get() { return &FDict; }
    ~TOptions() { av_dict_free(&FDict); }

private:
    AVDictionary* FDict = nullptr;
};

} // namespace

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

    std::string url = AllowedStreamUrl(firstUrl);
    // One deadline covers the whole connect: playlist, probing and all.
    SetDeadline(FTimeouts.Network);
    bool hls = false;
    bool pls = false;
    for (int hops = 0;; ++hops) {
        if (hops > 4) {
            throw TAudioError("Playlist", BassError::FileForm);
        }
        TOptions ioOptions;
        ioOptions.Set("protocol_whitelist", StreamProtocols);
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
        url = AllowedStreamUrl(Resolve(url, *entry));
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
    formatOptions.Set("protocol_whitelist", StreamProtocols);
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
