#pragma once

#include "FFmpegPtr.h"
#include "FileEncoder.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

// Writes a WMA (wmav2) file in an ASF container from stereo float blocks.
// One channel means a downmix of both. Attach it to a mixer as a processor
// (its Process writes) or call Write directly. Writing and closing belong to
// one thread at a time; Died, Killed and DroppedBytes may be read from any thread.
class TWmaEncoder : public TFileEncoder, public std::enable_shared_from_this<TWmaEncoder> {
public:
    enum class TKind { Standard, Pro };

    // Throws TAudioError: Codec (44) when the encoder is missing or for Pro,
    // Format (6) for a channel count other than 1 or 2, Freq (25) for a rate
    // the codec refuses, IllegalParam (20) for a bit rate it refuses, FileOpen
    // (2) when the file cannot be created.
    TWmaEncoder(int rate, int channels, int bitrate, const std::string& path, TKind kind = TKind::Standard);
    ~TWmaEncoder() override;

    TWmaEncoder(const TWmaEncoder&) = delete;
    TWmaEncoder& operator=(const TWmaEncoder&) = delete;

    void Process(float* samples, std::size_t bytes) override { Write(samples, bytes); }
    void Write(const float* samples, std::size_t bytes);
    // Flushes the codec and finishes the file. Idempotent; the destructor calls it.
    void Close();

    void Finish() override;
    // Closes on a thread of its own and stops waiting at `deadline`: a write
    // to a folder whose mount hangs blocks in the kernel, where nothing can
    // end it. That thread keeps the encoder until it returns. An encoder not
    // owned by a shared_ptr closes on the calling thread.
    void FinishBy(std::chrono::steady_clock::time_point deadline) override;
    bool Killed() const override { return FGaveUp.load(); }
    // The decoder outputs nothing of a file's first frame, which only primes
    // it, and fades out its last. So a file begins with the previous file's
    // last two whole frames and the part frame it had not sent (which that
    // file then leaves out): no audio is lost at a rotation, and the faded
    // last frame of a file is heard in full at the start of the next. A file
    // without a predecessor begins with a frame of silence, and the last file
    // ends with one.
    void ContinueFrom(TFileEncoder& previous) override;
    bool Died() const override { return FFailed.load(); }
    std::string DeathReason() const override { return "the WMA file could not be written"; }
    std::uint64_t DroppedBytes() const override { return FDroppedBytes.load(); }

    // Bit rates (bit/s, ascending) the encoder accepts for this format; empty
    // for Pro, for rates it refuses, or when the codec is missing.
    static std::vector<int> GetRates(int rate, int channels, TKind kind);

private:
    void SendFrame(bool final);
    void Drain();
    // Sends the priming frames (silence, or what `before` carries over) before the first block.
    void Start(TWmaEncoder* before);
    void SendWhole(const std::vector<std::vector<float>>& frame);

    FFmpeg::CodecContextPtr FCodec;
    FFmpeg::OutputContextPtr FFormat;
    FFmpeg::FramePtr FFrame;
    FFmpeg::PacketPtr FPacket;
    AVStream* FStream = nullptr; // owned by FFormat
    int FChannels;
    int FFill = 0; // samples per channel waiting in FFrame
    bool FStarted = false;   // the priming frame is sent
    bool FContinued = false; // the next file took the part frame and sends it
    // The last two whole frames sent, older first, each per channel.
    std::array<std::vector<std::vector<float>>, 2> FRecent;
    int64_t FNextPts = 0;
    bool FClosed = false;
    std::atomic<bool> FFinishing{false}; // Finish or FinishBy has begun closing
    std::atomic<bool> FGaveUp{false};    // FinishBy stopped waiting for the close
    std::atomic<bool> FFailed{false}; // a write error; later blocks are dropped
    std::atomic<std::uint64_t> FDroppedBytes{0};
};
