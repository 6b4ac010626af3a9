#include "ClipCutter.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr int IoBufferBytes = 32 * 1024;
// Audio decoded ahead of a cut, so that the frames that hold the cut are whole.
constexpr double PrerollSeconds = 1.0;

std::string FFmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

double Seconds(std::int64_t ts, AVRational base) { return static_cast<double>(ts) * av_q2d(base); }

struct TDictionary {
    AVDictionary* Entries = nullptr;
    ~TDictionary() { av_dict_free(&Entries); }
};

const AVCodec* EncoderFor(const std::string& extension) {
    if (extension == ".mp3") {
        const AVCodec* lame = avcodec_find_encoder_by_name("libmp3lame");
        return lame != nullptr ? lame : avcodec_find_encoder(AV_CODEC_ID_MP3);
    }
    if (extension == ".ogg") {
        return avcodec_find_encoder_by_name("libvorbis");
    }
    if (extension == ".wma") {
        return avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    }
    return nullptr;
}

const char* MuxerFor(const std::string& extension) {
    return extension == ".mp3" ? "mp3" : extension == ".ogg" ? "ogg" : "asf";
}

} // namespace

void TClipCutter::TFifoDeleter::operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }

void TClipCutter::TIoDeleter::operator()(AVIOContext* p) const {
    av_freep(&p->buffer);
    avio_context_free(&p);
}

TClipCutter::TClipCutter(std::vector<TClipPiece> pieces, const std::string& extension)
    : FPieces(std::move(pieces)), FExtension(extension),
      FCopy(FPieces.size() == 1 && extension == ".mp3"), FPacket(av_packet_alloc()), FFrame(av_frame_alloc()),
      FEncoded(av_packet_alloc()) {
    if (!FPacket || !FFrame || !FEncoded) {
        throw std::bad_alloc();
    }
    if (FPieces.empty()) {
        throw std::runtime_error("Nothing to cut");
    }
    OpenPiece();
    if (!FCopy) {
        OpenEncoder(*FInput->streams[FStream]->codecpar);
    }
}

TClipCutter::~TClipCutter() = default;

std::size_t TClipCutter::Read(char* buffer, std::size_t size) {
    while (FOutputRead == FOutput.size() && !FFinished) {
        FOutput.clear();
        FOutputRead = 0;
        Step();
    }
    const std::size_t n = std::min(size, FOutput.size() - FOutputRead);
    std::copy_n(FOutput.data() + FOutputRead, n, buffer);
    FOutputRead += n;
    return n;
}

void TClipCutter::OpenPiece() {
    const TClipPiece& piece = FPieces[FPiece];
    TDictionary options;
    // Seeking by the bit rate is exact in our constant-rate files; the table of
    // contents in lame's header is good to 1 % of the file only.
    av_dict_set(&options.Entries, "usetoc", "0", 0);
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, piece.Path.c_str(), nullptr, &options.Entries);
    if (rc < 0) {
        throw std::runtime_error("Cannot read \"" + piece.Path + "\": " + FFmpegError(rc));
    }
    FFmpeg::InputContextPtr input(raw);
    if ((rc = avformat_find_stream_info(input.get(), nullptr)) < 0 ||
        (rc = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0)) < 0) {
        throw std::runtime_error("Cannot read \"" + piece.Path + "\": " + FFmpegError(rc));
    }
    FStream = rc;
    AVStream* stream = input->streams[FStream];
    if (!FCopy) {
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        FFmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
        if (codec == nullptr || !decoder) {
            throw std::runtime_error("Cannot decode \"" + piece.Path + "\"");
        }
        avcodec_parameters_to_context(decoder.get(), stream->codecpar);
        decoder->pkt_timebase = stream->time_base;
        if ((rc = avcodec_open2(decoder.get(), codec, nullptr)) < 0) {
            throw std::runtime_error("Cannot decode \"" + piece.Path + "\": " + FFmpegError(rc));
        }
        FDecoder = std::move(decoder);
    }
    // From the beginning the samples are counted; past it the timestamps tell.
    const double target = FCopy ? piece.From : piece.From - PrerollSeconds;
    FSeeked = target > 0 && av_seek_frame(input.get(), -1, static_cast<std::int64_t>(target * AV_TIME_BASE),
                                          AVSEEK_FLAG_BACKWARD) >= 0;
    FPosition.reset();
    FDraining = false;
    FSwr.reset();
    FInput = std::move(input);
}

void TClipCutter::ClosePiece() {
    if (FSwr) {
        Convert(nullptr, 0); // what the resampler still holds belongs to this piece
    }
    FSwr.reset();
    FDecoder.reset();
    FInput.reset();
    ++FPiece;
}

void TClipCutter::Step() {
    if (!FInput) {
        if (FPiece < FPieces.size()) {
            OpenPiece();
            return;
        }
        if (!FCopy) {
            Encode(true);
            av_write_trailer(FMuxer.get());
            avio_flush(FIo.get());
        }
        FFinished = true;
        return;
    }
    if (FCopy) {
        CopyStep();
    } else {
        TranscodeStep();
    }
}

void TClipCutter::CopyStep() {
    const TClipPiece& piece = FPieces[FPiece];
    if (av_read_frame(FInput.get(), FPacket.get()) < 0) {
        ClosePiece(); // the end of what the file holds, or of what can be read of it
        return;
    }
    const AVStream* stream = FInput->streams[FStream];
    if (FPacket->stream_index == FStream) {
        double begin = FPosition.value_or(0);
        if (FPacket->pts != AV_NOPTS_VALUE) {
            begin = Seconds(FPacket->pts, stream->time_base);
        }
        const double length = Seconds(FPacket->duration, stream->time_base);
        FPosition = begin + length;
        // Whole frames whose middle lies in the span.
        const double middle = begin + length / 2;
        if (piece.To && middle >= *piece.To) {
            av_packet_unref(FPacket.get());
            ClosePiece();
            return;
        }
        if (middle >= piece.From) {
            FOutput.append(reinterpret_cast<const char*>(FPacket->data), static_cast<std::size_t>(FPacket->size));
        }
    }
    av_packet_unref(FPacket.get());
    return;
}

void TClipCutter::TranscodeStep() {
    int rc = avcodec_receive_frame(FDecoder.get(), FFrame.get());
    if (rc == 0) {
        TakeFrame(*FFrame);
        av_frame_unref(FFrame.get());
        return;
    }
    if (rc != AVERROR(EAGAIN) || FDraining) {
        ClosePiece();
        return;
    }
    if (av_read_frame(FInput.get(), FPacket.get()) < 0) {
        FDraining = true;
        avcodec_send_packet(FDecoder.get(), nullptr);
        return;
    }
    if (FPacket->stream_index == FStream) {
        // A damaged packet costs its own audio only.
        avcodec_send_packet(FDecoder.get(), FPacket.get());
    }
    av_packet_unref(FPacket.get());
    return;
}

void TClipCutter::TakeFrame(AVFrame& frame) {
    const TClipPiece& piece = FPieces[FPiece];
    const double rate = frame.sample_rate > 0 ? frame.sample_rate : FDecoder->sample_rate;
    if (!FPosition) {
        FPosition = 0;
        const std::int64_t ts = frame.best_effort_timestamp;
        if (FSeeked && ts != AV_NOPTS_VALUE) {
            const AVStream* stream = FInput->streams[FStream];
            const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
            FPosition = Seconds(ts - start, stream->time_base);
        }
    }
    const double begin = *FPosition;
    FPosition = begin + frame.nb_samples / rate;
    const auto skip = std::clamp<std::int64_t>(std::llround((piece.From - begin) * rate), 0, frame.nb_samples);
    std::int64_t keep = frame.nb_samples - skip;
    const bool last = piece.To && *FPosition >= *piece.To;
    if (piece.To) {
        keep = std::min<std::int64_t>(keep, std::llround((*piece.To - begin) * rate) - skip);
    }
    if (keep > 0) {
        if (!FSwr) {
            AVChannelLayout in{};
            if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
                av_channel_layout_default(&in, frame.ch_layout.nb_channels);
            } else {
                av_channel_layout_copy(&in, &frame.ch_layout);
            }
            SwrContext* swr = nullptr;
            const int rc = swr_alloc_set_opts2(&swr, &FEncoder->ch_layout, FEncoder->sample_fmt,
                                               FEncoder->sample_rate, &in, static_cast<AVSampleFormat>(frame.format),
                                               static_cast<int>(rate), 0, nullptr);
            av_channel_layout_uninit(&in);
            FSwr.reset(swr);
            if (rc < 0 || swr_init(swr) < 0) {
                throw std::runtime_error("Cannot convert the audio of \"" + piece.Path + "\"");
            }
        }
        const auto format = static_cast<AVSampleFormat>(frame.format);
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const int channels = frame.ch_layout.nb_channels;
        const std::int64_t offset = skip * av_get_bytes_per_sample(format) * (planar ? 1 : channels);
        std::vector<const uint8_t*> in(planar ? channels : 1);
        for (std::size_t i = 0; i < in.size(); ++i) {
            in[i] = frame.extended_data[i] + offset;
        }
        Convert(in.data(), static_cast<int>(keep));
        Encode(false);
    }
    if (last) {
        ClosePiece();
    }
}

void TClipCutter::Convert(const uint8_t** in, int count) {
    const int room = swr_get_out_samples(FSwr.get(), count);
    if (room <= 0) {
        return;
    }
    uint8_t** out = nullptr;
    if (av_samples_alloc_array_and_samples(&out, nullptr, FEncoder->ch_layout.nb_channels, room,
                                           FEncoder->sample_fmt, 0) < 0) {
        throw std::bad_alloc();
    }
    const int n = swr_convert(FSwr.get(), out, room, in, count);
    const int written = n > 0 ? av_audio_fifo_write(FFifo.get(), reinterpret_cast<void**>(out), n) : n;
    av_freep(&out[0]);
    av_freep(&out);
    if (written < 0) {
        throw std::runtime_error("Cannot convert the audio of \"" + FPieces[FPiece].Path + "\"");
    }
}

void TClipCutter::OpenEncoder(const AVCodecParameters& source) {
    const AVCodec* codec = EncoderFor(FExtension);
    FFmpeg::CodecContextPtr encoder(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder) {
        throw std::runtime_error("No encoder for " + FExtension + " files");
    }
    encoder->sample_rate = source.sample_rate;
    av_channel_layout_default(&encoder->ch_layout, source.ch_layout.nb_channels == 1 ? 1 : 2);
    encoder->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    encoder->bit_rate = source.bit_rate > 0 ? source.bit_rate : 128000;
    encoder->time_base = AVRational{1, source.sample_rate};

    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, MuxerFor(FExtension), nullptr) < 0) {
        throw std::runtime_error("No muxer for " + FExtension + " files");
    }
    FMuxer.reset(raw);
    if (FMuxer->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(encoder.get(), codec, nullptr);
    if (rc < 0) {
        throw std::runtime_error("Cannot encode the clip: " + FFmpegError(rc));
    }
    FEncoder = std::move(encoder);
    AVStream* stream = avformat_new_stream(FMuxer.get(), nullptr);
    auto* buffer = static_cast<unsigned char*>(av_malloc(IoBufferBytes));
    FIo.reset(buffer != nullptr ? avio_alloc_context(buffer, IoBufferBytes, 1, this, nullptr, WriteOutput, nullptr)
                                : nullptr);
    FFifo.reset(av_audio_fifo_alloc(FEncoder->sample_fmt, FEncoder->ch_layout.nb_channels, 4096));
    if (stream == nullptr || !FIo || !FFifo) {
        av_free(FIo ? nullptr : buffer);
        throw std::bad_alloc();
    }
    avcodec_parameters_from_context(stream->codecpar, FEncoder.get());
    stream->time_base = FEncoder->time_base;
    FMuxer->pb = FIo.get();
    FMuxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    TDictionary options;
    // A header that names the length cannot be written before the clip is made.
    av_dict_set(&options.Entries, "write_xing", "0", 0);
    av_dict_set(&options.Entries, "id3v2_version", "0", 0);
    if ((rc = avformat_write_header(FMuxer.get(), &options.Entries)) < 0) {
        throw std::runtime_error("Cannot encode the clip: " + FFmpegError(rc));
    }
}

void TClipCutter::Encode(bool flush) {
    const bool variable = (FEncoder->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
    const bool smallLast = variable || (FEncoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    const int frameSize = FEncoder->frame_size > 0 ? FEncoder->frame_size : 1024;
    while (av_audio_fifo_size(FFifo.get()) >= frameSize || (flush && av_audio_fifo_size(FFifo.get()) > 0)) {
        const int n = std::min(av_audio_fifo_size(FFifo.get()), frameSize);
        FFmpeg::FramePtr frame(av_frame_alloc());
        if (!frame) {
            throw std::bad_alloc();
        }
        frame->nb_samples = n < frameSize && !smallLast ? frameSize : n;
        frame->format = FEncoder->sample_fmt;
        frame->sample_rate = FEncoder->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &FEncoder->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0) {
            throw std::bad_alloc();
        }
        av_samples_set_silence(frame->extended_data, 0, frame->nb_samples, frame->ch_layout.nb_channels,
                               FEncoder->sample_fmt);
        av_audio_fifo_read(FFifo.get(), reinterpret_cast<void**>(frame->extended_data), n);
        frame->pts = FNextPts;
        FNextPts += frame->nb_samples;
        SendToEncoder(frame.get());
    }
    if (flush) {
        SendToEncoder(nullptr);
    }
}

void TClipCutter::SendToEncoder(AVFrame* frame) {
    int rc = avcodec_send_frame(FEncoder.get(), frame);
    if (rc < 0) {
        throw std::runtime_error("Cannot encode the clip: " + FFmpegError(rc));
    }
    while ((rc = avcodec_receive_packet(FEncoder.get(), FEncoded.get())) == 0) {
        av_packet_rescale_ts(FEncoded.get(), FEncoder->time_base, FMuxer->streams[0]->time_base);
        FEncoded->stream_index = 0;
        rc = av_write_frame(FMuxer.get(), FEncoded.get());
        av_packet_unref(FEncoded.get());
        if (rc < 0) {
            throw std::runtime_error("Cannot encode the clip: " + FFmpegError(rc));
        }
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
        throw std::runtime_error("Cannot encode the clip: " + FFmpegError(rc));
    }
}

int TClipCutter::WriteOutput(void* opaque, std::uint8_t* data, int size) {
    try {
        static_cast<TClipCutter*>(opaque)->FOutput.append(reinterpret_cast<const char*>(data),
                                                          static_cast<std::size_t>(size));
        return size;
    } catch (...) {
        return AVERROR(ENOMEM);
    }
}
