#pragma once

#include "FFmpegPtr.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AVAudioFifo;
struct AVIOContext;

// A stretch of one recording: seconds from its beginning.
struct TClipPiece {
    std::string Path;
    double From = 0;
    std::optional<double> To; // none: as far as the file holds, the one being written too
};

// One audio file cut out of stretches of recordings, made while it is read:
// nothing more than a block of it is held at a time and nothing goes to disk.
//
// A single stretch of an MP3 file is cut at frame boundaries and copied as it
// is. Anything else is decoded and encoded again into the format `extension`
// names (".mp3", ".ogg" or ".wma"), at the first recording's rate, channels
// and bit rate: MP3 frames of two files cannot simply follow each other, as
// each file begins with the encoder's start-up delay and ends with its
// padding, which would be heard as a short dip at the hour.
//
// Threads: one thread at a time.
class TClipCutter {
public:
    // Opens the first recording; throws std::runtime_error when it cannot be read.
    TClipCutter(std::vector<TClipPiece> pieces, const std::string& extension);
    ~TClipCutter();

    TClipCutter(const TClipCutter&) = delete;
    TClipCutter& operator=(const TClipCutter&) = delete;

    // Up to `size` bytes of the clip; 0 at its end. Throws std::runtime_error
    // when a recording cannot be read or the encoder fails.
    std::size_t Read(char* buffer, std::size_t size);

private:
    struct TFifoDeleter {
        void operator()(AVAudioFifo* p) const;
    };
    struct TIoDeleter {
        void operator()(AVIOContext* p) const;
    };

    void OpenPiece();
    // Makes some output or moves on; sets FFinished at the end of the clip.
    void Step();
    void CopyStep();
    void TranscodeStep();
    void OpenEncoder(const AVCodecParameters& source);
    void TakeFrame(AVFrame& frame);
    // `count` samples at `in` (none: what the resampler holds) into the encoder's queue.
    void Convert(const uint8_t** in, int count);
    void Encode(bool flush);
    void SendToEncoder(AVFrame* frame);
    static int WriteOutput(void* opaque, std::uint8_t* data, int size);
    void ClosePiece();

    std::vector<TClipPiece> FPieces;
    std::string FExtension;
    bool FCopy;
    std::size_t FPiece = 0;
    bool FFinished = false;
    std::string FOutput; // made but not yet read
    std::size_t FOutputRead = 0;

    // The recording being read.
    FFmpeg::InputContextPtr FInput;
    FFmpeg::CodecContextPtr FDecoder;
    FFmpeg::SwrPtr FSwr;
    int FStream = -1;
    bool FDraining = false;          // the demuxer is done; the decoder gives what it holds
    bool FSeeked = false;            // read from a point past the beginning
    std::optional<double> FPosition; // seconds into the recording of the next sample or frame
    FFmpeg::PacketPtr FPacket;
    FFmpeg::FramePtr FFrame;

    // The clip being written.
    FFmpeg::CodecContextPtr FEncoder;
    FFmpeg::OutputContextPtr FMuxer;
    std::unique_ptr<AVIOContext, TIoDeleter> FIo;
    std::unique_ptr<AVAudioFifo, TFifoDeleter> FFifo;
    FFmpeg::PacketPtr FEncoded;
    std::int64_t FNextPts = 0;
};
