#pragma once

#include "AudioSource.h"
#include "FFmpegLog.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TPushStream;

// The StreamTitle out of an ICY metadata packet ("StreamTitle='...';..."), or
// nothing when the packet has none. The shortest match wins, so a quote inside
// the title ends it at the first "';".
std::optional<std::string> StreamTitleOf(const std::string& meta);

// Audio from an http or https URL (an Icecast/Shoutcast stream, a .pls/.m3u
// playlist or HLS), decoded by FFmpeg on a thread of its own into a bounded FIFO of
// interleaved float stereo at the stream's own rate, which a mixer reads.
// Decoding is held to real time: it waits while the FIFO holds more than
// BufferAheadSeconds.
//
// Threads: Open belongs to the creating thread and may be aborted by Stop from
// any other thread. Read belongs to the mixer's pulling thread. Meta, Stop and
// the getters may be called from any thread. Callbacks run on the decoding
// thread while no lock of this object is held; they may call Stop() and Meta()
// but must not destroy the stream.
class TUrlStream : public TAudioSource {
public:
    static constexpr double BufferAheadSeconds = 5.0;

    struct TCallbacks {
        std::function<void()> OnEnded; // once: end of data, network error, stall
        std::function<void()> OnMeta;  // each time new ICY metadata arrived
        std::shared_ptr<TFFmpegLog> Log = {}; // FFmpeg's own lines of the decoding thread; none: standard error
    };
    struct TTimeouts {
        // Connecting and each network read may wait this long.
        std::chrono::milliseconds Network{10000};
        // Connected but no audio for this long counts as the end of the stream.
        std::chrono::milliseconds Stall{10000};
    };

    // Connects, follows a playlist to its first entry, probes and opens the
    // decoder, then starts decoding. Throws TAudioError: 2 when the server cannot
    // be reached or answers with an HTTP error, 40 on timeout, 41 when the data
    // is no known audio format, 44 when there is no decoder for it; throws
    // StreamText::TSchemeRefused, having opened nothing, when the URL or a
    // playlist entry is no http or https address.
    static std::shared_ptr<TUrlStream> Create(const std::string& url, TCallbacks callbacks, TTimeouts timeouts);
    static std::shared_ptr<TUrlStream> Create(const std::string& url, TCallbacks callbacks) {
        return Create(url, std::move(callbacks), TTimeouts{});
    }

    // Two steps for callers that must be able to abort a hanging connect from
    // another thread: construct (does not block), then Open.
    TUrlStream(TCallbacks callbacks, TTimeouts timeouts);
    ~TUrlStream() override;

    TUrlStream(const TUrlStream&) = delete;
    TUrlStream& operator=(const TUrlStream&) = delete;

    // Blocks until decoding runs; throws as Create does, and TAudioError 45 when
    // Stop() aborted it. Call once. Audio that an ended stream of the same rate
    // had received but not yet played (QueuedAudio) is played first, so that a
    // reconnection loses nothing the server sent.
    void Open(const std::string& url, std::shared_ptr<TPushStream> queuedBefore = nullptr);
    // What was received and not yet played; nothing before Open.
    std::shared_ptr<TPushStream> QueuedAudio() const { return FFifo; }

    // Aborts a connect or read in progress, ends decoding and joins the thread.
    // Idempotent; returns promptly. OnEnded is not called for a stop.
    void Stop();

    int Rate() const override { return FRate.load(std::memory_order_acquire); }
    int Channels() const override { return 2; }
    // No faster than real time, as a sound card delivers: the burst a server
    // sends to a new listener becomes a reserve against network jitter rather
    // than seconds of audio at once, so a file's length follows the clock.
    std::size_t Read(float* dst, std::size_t frames) override;

    // The last ICY metadata packet as the server sent it; nothing before the first.
    std::optional<std::string> Meta() const;
    // True once the stream has ended by itself (OnEnded was or is being called).
    bool Ended() const { return FEnded.load(std::memory_order_acquire); }

private:
    struct TDecoder; // FFmpeg state, owned by Open and then by the decoding thread

    static int InterruptCallback(void* opaque);
    void Run();
    // Decodes until the stream ends (true) or is stopped (false).
    bool Decode();
    // Publishes a new ICY packet; OnMeta only from the decoding thread.
    void UpdateMeta(bool notify);
    void SetDeadline(std::chrono::milliseconds fromNow);
    void ClearDeadline();

    const TCallbacks FCallbacks;
    const TTimeouts FTimeouts;

    std::atomic<bool> FStop{false};
    std::atomic<bool> FEnded{false};
    // Steady-clock nanoseconds after which a blocking FFmpeg call is aborted; 0 = none.
    std::atomic<std::int64_t> FDeadline{0};
    std::atomic<bool> FDeadlineHit{false};

    std::atomic<int> FRate{0};
    std::shared_ptr<TPushStream> FFifo; // set by Open before the thread starts

    // The reader's real-time clock; only Read touches these (one reader at a time).
    bool FPlaying = false; // false until audio is queued, and again after running dry
    std::chrono::steady_clock::time_point FPlayStart;
    std::uint64_t FPlayed = 0; // frames handed out since FPlayStart

    std::unique_ptr<TDecoder> FDecoder; // Open, then the decoding thread only
    std::thread FThread;                              // guarded by FStopLock
    std::atomic<std::thread::id> FDecodingThread{}; // set by the thread itself
    std::mutex FStopLock; // serialises Stop with itself and with starting the thread
    std::mutex FWaitLock;
    std::condition_variable FWake; // wakes the decoding thread's pacing wait

    mutable std::mutex FMetaLock;
    std::optional<std::string> FMeta; // guarded by FMetaLock
};
