#include "IcyServer.h"

#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace TestSupport {

namespace {
using TClock = std::chrono::steady_clock;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
} // namespace

TIcyServer::TIcyServer(std::vector<std::uint8_t> mp3, double bytesPerSecond, std::size_t burstBytes)
    : FMp3(std::move(mp3)), FBytesPerSecond(bytesPerSecond), FBurstBytes(burstBytes) {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 || listen(FListen, 16) < 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        close(FListen);
        throw std::runtime_error("bind/listen failed");
    }
    FPort = ntohs(addr.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

TIcyServer::~TIcyServer() {
    FStop = true;
    FAcceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(FLock);
        threads.swap(FConnThreads);
    }
    for (auto& t : threads) {
        t.join();
    }
    close(FListen);
}

std::string TIcyServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

void TIcyServer::SetMeta(const std::string& text) {
    std::lock_guard guard(FLock);
    FMeta = text;
}

void TIcyServer::UseIcyStatusLine(bool icy) {
    std::lock_guard guard(FLock);
    FIcyStatus = icy;
}

void TIcyServer::AddPage(const std::string& path, const std::string& status, const std::string& contentType,
                         const std::string& body) {
    std::lock_guard guard(FLock);
    FPages[path] = TPage{status, contentType, body, false};
}

void TIcyServer::AddSilent(const std::string& path) {
    std::lock_guard guard(FLock);
    FPages[path] = TPage{{}, {}, {}, true};
}

void TIcyServer::Stall() { FStall = true; }

std::vector<TIcyServer::TRequest> TIcyServer::Requests() const {
    std::lock_guard guard(FLock);
    return FRequests;
}

void TIcyServer::CloseStreams() { ++FCloses; }

void TIcyServer::AcceptLoop() {
    while (!FStop) {
        pollfd p{FListen, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        const int fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++FConnections;
        std::lock_guard guard(FLock);
        FConnThreads.emplace_back([this, fd] {
            Serve(fd);
            close(fd);
        });
    }
}

bool TIcyServer::SendAll(int fd, const void* data, std::size_t bytes, int closes) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (bytes > 0) {
        if (FStop || FCloses.load() != closes) {
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = send(fd, p, bytes, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        p += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

void TIcyServer::Serve(int fd) {
    // Read the request head.
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
        if (FStop) {
            return;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        char buf[1024];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            return;
        }
        request.append(buf, static_cast<std::size_t>(n));
    }
    const auto sp1 = request.find(' ');
    const auto sp2 = request.find(' ', sp1 + 1);
    const std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    const bool withMeta = Lower(request).find("\r\nicy-metadata: 1") != std::string::npos;
    if (withMeta) {
        FAskedForMeta = true;
    }

    TPage page;
    bool found = false;
    {
        std::lock_guard guard(FLock);
        FRequests.push_back({path, std::chrono::steady_clock::now()});
        auto it = FPages.find(path);
        if (it != FPages.end()) {
            page = it->second;
            found = true;
        }
    }
    if (found && page.Silent) {
        while (!FStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return;
    }
    if (found) {
        const std::string head = page.Status + "\r\nContent-Type: " + page.ContentType +
                                 "\r\nContent-Length: " + std::to_string(page.Body.size()) +
                                 "\r\nConnection: close\r\n\r\n";
        SendAll(fd, head.data(), head.size(), FCloses.load()) && SendAll(fd, page.Body.data(), page.Body.size(), FCloses.load());
        shutdown(fd, SHUT_WR);
        return;
    }
    if (path == "/stream") {
        ServeStream(fd, withMeta);
        return;
    }
    const std::string notFound = "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\nnot found";
    SendAll(fd, notFound.data(), notFound.size(), FCloses.load());
    shutdown(fd, SHUT_WR);
}

void TIcyServer::ServeStream(int fd, bool withMeta) {
    const int closes = FCloses.load();
    std::string head;
    {
        std::lock_guard guard(FLock);
        head = FIcyStatus ? "ICY 200 OK" : "HTTP/1.0 200 OK";
    }
    head += "\r\nContent-Type: audio/mpeg\r\nicy-name: test\r\n";
    if (withMeta) {
        head += "icy-metaint: " + std::to_string(MetaInt) + "\r\n";
    }
    head += "\r\n";
    if (!SendAll(fd, head.data(), head.size(), closes)) {
        return;
    }
    const auto start = TClock::now();
    std::size_t sent = 0;     // audio bytes
    std::size_t position = 0; // in FMp3, looping
    std::size_t untilMeta = MetaInt;
    std::string lastMetaSent;
    bool metaSentOnce = false;
    while (!FStop && FCloses.load() == closes) {
        if (FStall) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        // Paced: burst first, then bytesPerSecond.
        const double elapsed = std::chrono::duration<double>(TClock::now() - start).count();
        const auto allowed = static_cast<std::size_t>(static_cast<double>(FBurstBytes) + elapsed * FBytesPerSecond);
        if (sent >= allowed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::size_t chunk = std::min<std::size_t>(allowed - sent, 4096);
        chunk = std::min(chunk, FMp3.size() - position);
        if (withMeta) {
            chunk = std::min(chunk, untilMeta);
        }
        if (!SendAll(fd, FMp3.data() + position, chunk, closes)) {
            return;
        }
        sent += chunk;
        position = (position + chunk) % FMp3.size();
        if (!withMeta) {
            continue;
        }
        untilMeta -= chunk;
        if (untilMeta > 0) {
            continue;
        }
        untilMeta = MetaInt;
        std::string meta;
        {
            std::lock_guard guard(FLock);
            meta = FMeta;
        }
        // As Icecast: the text when it is new, an empty block otherwise.
        std::string block(1, '\0');
        if (!metaSentOnce || meta != lastMetaSent) {
            const std::size_t units = (meta.size() + 15) / 16;
            block[0] = static_cast<char>(units);
            block += meta;
            block.resize(1 + units * 16, '\0');
            lastMetaSent = meta;
            metaSentOnce = true;
        }
        if (!SendAll(fd, block.data(), block.size(), closes)) {
            return;
        }
    }
    if (FCloses.load() != closes) {
        shutdown(fd, SHUT_RDWR);
    }
}

const std::vector<std::uint8_t>& SineMp3() {
    static const std::vector<std::uint8_t> bytes = [] {
        TTempDir dir;
        const std::string file = dir.File("sine.mp3");
        const auto r = RunCommand("ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:sample_rate=48000 -ac 1 "
                                  "-t 20 -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3 '" +
                                  file + "'");
        if (r.ExitCode != 0) {
            throw std::runtime_error("ffmpeg could not make the test MP3");
        }
        std::ifstream in(file, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

} // namespace TestSupport
