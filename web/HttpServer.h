#pragma once

#include "HttpRequest.h"
#include "HttpResponse.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct MHD_Daemon;

// The HTTP layer on libmicrohttpd: one listening socket for IPv4 and IPv6 (IPv4
// alone where the host has no IPv6), one thread per connection, one request per
// connection ("Connection: close"), HTTPS only when a certificate is given.
// GET, HEAD and POST reach the handler; any other method gets the default
// response; a foreign Authorization scheme gets the connection closed
// unanswered. Every answer carries headers that keep browsers from guessing
// types, framing the page or leaking its addresses; JSON is never cached.
//
// Threads: the handler runs on connection threads, several at once. The
// destructor closes the listener, ends the open connections and waits for
// their threads.
class THttpServer {
public:
    using THandler = std::function<void(const THttpRequest& request, THttpResponse& response)>;

    // A slow or flooding client must not take every thread or much memory.
    struct TLimits {
        unsigned Connections = 64;       // at once, in all
        unsigned ConnectionsPerPeer = 16; // at once, from one address
        unsigned IdleSeconds = 30;       // a connection that neither sends nor takes data is closed
        std::size_t FormBodyBytes = 64 * 1024; // a larger url-encoded body is refused with 413
    };

    // PEM texts; both empty for plain HTTP.
    struct TTls {
        std::string Certificate;
        std::string Key;
    };

    // Port 0 lets the system choose; Port() tells which. Throws
    // std::runtime_error with the system's reason when the port cannot be bound
    // or the certificate and key are refused.
    // `address`: the one IPv4 or IPv6 address to listen on; "" for all of them.
    THttpServer(int port, THandler handler, TLimits limits, const TTls& tls = {}, const std::string& address = "");
    ~THttpServer();

    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    int Port() const { return FPort; }

private:
    struct TDaemonDeleter {
        void operator()(MHD_Daemon* daemon) const;
    };
    class TCallbacks;

    const THandler FHandler;
    const TLimits FLimits;
    const bool FSecure;
    // libmicrohttpd's first complaint while it starts (a refused key, say).
    std::mutex FStartErrorLock; // guards FStarting and FStartError
    bool FStarting = true;
    std::string FStartError;
    int FPort = 0;
    // Open connections per peer address. Counted here rather than by
    // libmicrohttpd, whose own count lumps IPv4 peers of a dual-stack socket
    // together. Taken by the listening thread and, at a close, by connection threads.
    std::mutex FPeersLock;
    std::map<std::string, unsigned> FPeers; // guarded by FPeersLock
    std::unique_ptr<MHD_Daemon, TDaemonDeleter> FDaemon; // last member: stopped first
};
