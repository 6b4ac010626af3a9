#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

// A tiny HTTP/ICY server on 127.0.0.1 (ephemeral port) running in threads of
// the test process. "/stream" serves an MP3 byte stream in a loop, paced, with
// ICY metadata blocks every MetaInt bytes when the client asked for them; other
// paths serve fixed pages, hang without answering, or 404.
//
// Threads: every method may be called from the test thread while connections
// are served; FLock guards the settings the connection threads read.
class TIcyServer {
public:
    static constexpr int MetaInt = 8192;

    // `mp3` is what /stream sends; `bytesPerSecond` paces it after a first
    // `burstBytes` (as Icecast bursts to fill a new listener's buffer).
    TIcyServer(std::vector<std::uint8_t> mp3, double bytesPerSecond, std::size_t burstBytes);
    ~TIcyServer();

    TIcyServer(const TIcyServer&) = delete;
    TIcyServer& operator=(const TIcyServer&) = delete;

    int Port() const { return FPort; }
    std::string Url(const std::string& path) const;

    // The metadata text of the next blocks ("StreamTitle='...';").
    void SetMeta(const std::string& text);
    // Status line "ICY 200 OK" instead of "HTTP/1.0 200 OK" on /stream.
    void UseIcyStatusLine(bool icy);
    // A fixed answer for `path`: status line such as "HTTP/1.0 200 OK".
    void AddPage(const std::string& path, const std::string& status, const std::string& contentType,
                 const std::string& body);
    // `path` accepts and never answers.
    void AddSilent(const std::string& path);
    // Streams stop sending but keep their connections open.
    void Stall();
    // Streams close their connections.
    void CloseStreams();

    // Connections accepted so far, and whether any asked for ICY metadata.
    int Connections() const { return FConnections.load(); }
    bool ClientAskedForMeta() const { return FAskedForMeta.load(); }

    // Every request head received, in order, with the time it was read.
    struct TRequest {
        std::string Path;
        std::chrono::steady_clock::time_point Time;
    };
    std::vector<TRequest> Requests() const;

private:
    struct TPage {
        std::string Status;
        std::string ContentType;
        std::string Body;
        bool Silent = false;
    };

    void AcceptLoop();
    void Serve(int fd);
    void ServeStream(int fd, bool withMeta);
    bool SendAll(int fd, const void* data, std::size_t bytes, int closes);

    const std::vector<std::uint8_t> FMp3;
    const double FBytesPerSecond;
    const std::size_t FBurstBytes;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FStall{false};
    std::atomic<int> FCloses{0}; // CloseStreams ends the streams served when it is called
    std::atomic<int> FConnections{0};
    std::atomic<bool> FAskedForMeta{false};
    std::thread FAcceptThread;

    mutable std::mutex FLock;
    std::string FMeta;                     // guarded by FLock
    bool FIcyStatus = false;               // guarded by FLock
    std::map<std::string, TPage> FPages;   // guarded by FLock
    std::vector<std::thread> FConnThreads; // guarded by FLock; joined by the destructor
    std::vector<TRequest> FRequests;       // guarded by FLock
};

// 20 s of a 440 Hz mono sine at 48000 Hz as 128 kbit/s MP3, bare frames, so that
// it loops cleanly; made once per process with ffmpeg.
const std::vector<std::uint8_t>& SineMp3();
inline constexpr double Mp3BytesPerSecond = 128000 / 8;

} // namespace TestSupport
