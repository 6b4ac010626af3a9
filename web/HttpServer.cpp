#include "HttpServer.h"

#include "TextTools.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr int ListenBacklog = 128;

// One request on its connection, from the request line to the end.
struct TExchange {
    std::string Target; // the raw request target, with the query
    bool Started = false;
    bool Form = false;
    bool Json = false;
    bool TooLarge = false;
    std::string Body;
    THttpRequest Request;
};

// Bound to `address` (an in_addr or in6_addr of `family`), or to every address when null.
TFileHandle BindSocket(int family, int port, const void* address = nullptr) {
    TFileHandle fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return fd;
    }
    const int on = 1;
    const int off = 0;
    // A restart must not wait for the connections of the last run to time out.
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int rc;
    if (family == AF_INET6) {
        if (address == nullptr) {
            setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off); // IPv4 peers too
        }
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = address != nullptr ? *static_cast<const in6_addr*>(address) : in6addr_any;
        addr.sin6_port = htons(static_cast<std::uint16_t>(port));
        rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = address != nullptr ? static_cast<const in_addr*>(address)->s_addr : htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (rc != 0 || ::listen(fd.Get(), ListenBacklog) != 0) {
        const int error = errno;
        fd.Reset();
        errno = error;
    }
    return fd;
}

TFileHandle Listen(int port, const std::string& address) {
    if (port < 0 || port > 65535) {
        throw std::runtime_error(Format("Port %d is out of range", port));
    }
    TFileHandle fd;
    in_addr v4{};
    in6_addr v6{};
    if (address.empty()) {
        fd = BindSocket(AF_INET6, port);
        if (!fd.Valid() && errno != EADDRINUSE && errno != EACCES) {
            fd = BindSocket(AF_INET, port); // a host without IPv6
        }
    } else if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        fd = BindSocket(AF_INET, port, &v4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        fd = BindSocket(AF_INET6, port, &v6);
    } else {
        throw std::runtime_error(Format("Address \"%s\" is not an IP address", address.c_str()));
    }
    if (!fd.Valid()) {
        throw std::runtime_error(Format("Could not bind socket to port %d: %s", port, std::strerror(errno)));
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

// The peer's address without its port, IPv4 peers of the dual-stack socket as IPv4.
std::string PeerKey(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (addr == nullptr) {
        return text;
    }
    if (addr->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        }
    } else if (addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
    }
    return text;
}

std::string Header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

// A response body made while it is sent.
using TProducer = std::function<std::ptrdiff_t(char*, std::size_t)>;

ssize_t ProduceBody(void* cls, std::uint64_t, char* buffer, std::size_t size) noexcept {
    try {
        const std::ptrdiff_t n = (*static_cast<TProducer*>(cls))(buffer, size);
        return n > 0 ? n : n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
    } catch (...) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
}

void FreeProducer(void* cls) noexcept { delete static_cast<TProducer*>(cls); }

MHD_Response* CreateResponse(THttpResponse& r) {
    if (!r.Realm.empty()) {
        r.Status = 401;
        r.ContentType = "text/plain; charset=utf-8";
        r.Text = "401 Unauthorized";
        r.Static = {};
        r.File.Reset();
        r.Producer = nullptr;
        r.Headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + r.Realm + "\"");
    }
    if (!r.Location.empty()) {
        r.Headers.emplace_back("Location", r.Location);
    }
    MHD_Response* response;
    if (r.File.Valid()) {
        response = MHD_create_response_from_fd_at_offset64(r.FileSize, r.File.Get(), r.FileOffset);
        if (response != nullptr) {
            r.File.Release(); // the response closes it
        }
    } else if (r.Producer) {
        auto producer = std::make_unique<TProducer>(std::move(r.Producer));
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, ProduceBody, producer.get(),
                                                     FreeProducer);
        if (response != nullptr) {
            producer.release(); // the response frees it
        }
    } else if (!r.Static.empty()) {
        response = MHD_create_response_from_buffer(r.Static.size(), const_cast<char*>(r.Static.data()),
                                                   MHD_RESPMEM_PERSISTENT);
    } else {
        response = MHD_create_response_from_buffer(r.Text.size(), r.Text.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) {
        return nullptr;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.ContentType.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    if (r.ContentType == "application/json") {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    }
    for (const auto& [name, value] : r.Headers) {
        // A value with a line break is refused here rather than sent.
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    return response;
}

MHD_Result Send(MHD_Connection* connection, THttpResponse& r) {
    MHD_Response* response = CreateResponse(r);
    if (response == nullptr) {
        return MHD_NO;
    }
    const MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(r.Status), response);
    MHD_destroy_response(response);
    return rc;
}

} // namespace

// libmicrohttpd calls these from C on its own threads, so no exception may
// leave them: a request that fails for want of memory is dropped, the server
// and the recording go on.
class THttpServer::TCallbacks {
public:
    static void* UriLog(void*, const char* uri, MHD_Connection*) noexcept {
        try {
            auto exchange = std::make_unique<TExchange>();
            exchange->Target = uri != nullptr ? uri : "";
            return exchange.release();
        } catch (...) {
            return nullptr; // Access refuses a request without one
        }
    }

    // Kept while the daemon starts; afterwards a connection's trouble is its own.
    static void StartLog(void* cls, const char* format, va_list args) noexcept {
        auto& server = *static_cast<THttpServer*>(cls);
        try {
            std::lock_guard guard(server.FStartErrorLock);
            if (server.FStarting && server.FStartError.empty()) {
                char text[512];
                std::vsnprintf(text, sizeof text, format, args);
                server.FStartError = text;
            }
        } catch (...) {
        }
    }

    static void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) noexcept {
        delete static_cast<TExchange*>(*context);
        *context = nullptr;
    }

    static MHD_Result Accept(void* cls, const sockaddr* addr, socklen_t) noexcept {
        try {
            auto& server = *static_cast<THttpServer*>(cls);
            std::lock_guard guard(server.FPeersLock);
            const auto it = server.FPeers.find(PeerKey(addr));
            return it != server.FPeers.end() && it->second >= server.FLimits.ConnectionsPerPeer ? MHD_NO
                                                                                                : MHD_YES;
        } catch (...) {
            return MHD_NO;
        }
    }

    static void Notify(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code) noexcept {
        auto& server = *static_cast<THttpServer*>(cls);
        try {
            std::lock_guard guard(server.FPeersLock);
            if (code == MHD_CONNECTION_NOTIFY_STARTED) {
                const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
                auto key =
                    std::make_unique<std::string>(PeerKey(info != nullptr ? info->client_addr : nullptr));
                ++server.FPeers[*key];
                *socketContext = key.release();
            } else if (*socketContext != nullptr) {
                std::unique_ptr<std::string> key(static_cast<std::string*>(*socketContext));
                *socketContext = nullptr;
                if (const auto it = server.FPeers.find(*key);
                    it != server.FPeers.end() && --it->second == 0) {
                    server.FPeers.erase(it);
                }
            }
        } catch (...) {
            // Left uncounted: the connection is served all the same.
        }
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char*, const char* uploadData, size_t* uploadSize,
                             void** context) noexcept {
        auto& server = *static_cast<THttpServer*>(cls);
        auto* exchange = static_cast<TExchange*>(*context);
        if (exchange == nullptr) {
            return MHD_NO;
        }
        try {
            THttpRequest& request = exchange->Request;
            if (!exchange->Started) {
                exchange->Started = true;
                request.Method = method;
                request.Host = Header(connection, MHD_HTTP_HEADER_HOST);
                request.Origin = Header(connection, MHD_HTTP_HEADER_ORIGIN);
                request.Referer = Header(connection, MHD_HTTP_HEADER_REFERER);
                request.Range = Header(connection, MHD_HTTP_HEADER_RANGE);
                request.IfRange = Header(connection, MHD_HTTP_HEADER_IF_RANGE);
                const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
                request.Peer = PeerKey(info != nullptr ? info->client_addr : nullptr);
                request.Secure = server.FSecure;
                if (ParseAuthorization(Header(connection, MHD_HTTP_HEADER_AUTHORIZATION), request) ==
                    TAuthorization::Foreign) {
                    return MHD_NO;
                }
                if (request.Method != "GET" && request.Method != "HEAD" && request.Method != "POST") {
                    THttpResponse plain;
                    return Send(connection, plain);
                }
                if (request.Method == "POST") {
                    const std::string type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
                    exchange->Form = IsFormContentType(type);
                    exchange->Json = IsJsonContentType(type);
                    return MHD_YES; // the body follows
                }
            } else if (*uploadSize > 0) {
                if ((exchange->Form || exchange->Json) && !exchange->TooLarge) {
                    if (exchange->Body.size() + *uploadSize > server.FLimits.FormBodyBytes) {
                        exchange->TooLarge = true;
                        exchange->Body.clear();
                    } else {
                        exchange->Body.append(uploadData, *uploadSize);
                    }
                }
                *uploadSize = 0;
                return MHD_YES;
            }
            if (exchange->TooLarge) {
                THttpResponse refused;
                refused.Status = 413;
                return Send(connection, refused);
            }
            if (exchange->Form) {
                AppendParams(exchange->Body, request.Params);
            } else if (exchange->Json) {
                request.Body = std::move(exchange->Body);
            }
            ParseRequestTarget(exchange->Target, request);
            THttpResponse response;
            server.FHandler(request, response);
            return Send(connection, response);
        } catch (...) {
            return MHD_NO; // the handler answers its own failures; this is out of memory and the like
        }
    }
};

void THttpServer::TDaemonDeleter::operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }

THttpServer::THttpServer(int port, THandler handler, TLimits limits, const TTls& tls, const std::string& address)
    : FHandler(std::move(handler)), FLimits(limits), FSecure(!tls.Certificate.empty()) {
    if (FSecure && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        throw std::runtime_error("This build of libmicrohttpd cannot speak HTTPS");
    }
    TFileHandle socket = Listen(port, address);
    FPort = BoundPort(socket.Get());
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&TCallbacks::StartLog), this},
        {MHD_OPTION_LISTEN_SOCKET, socket.Get(), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&TCallbacks::UriLog), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&TCallbacks::Completed), this},
        {MHD_OPTION_CONNECTION_LIMIT, FLimits.Connections, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&TCallbacks::Notify), this},
        {MHD_OPTION_CONNECTION_TIMEOUT, FLimits.IdleSeconds, nullptr},
    };
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG;
    if (FSecure) {
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls.Certificate.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls.Key.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    MHD_Daemon* daemon = MHD_start_daemon(flags, 0, &TCallbacks::Accept, this, &TCallbacks::Access, this,
                                          MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    std::lock_guard guard(FStartErrorLock);
    FStarting = false;
    if (daemon == nullptr) {
        const std::string reason = Trim(FStartError).empty() ? "" : ": " + std::string(Trim(FStartError));
        throw std::runtime_error(Format("Could not start the HTTP service on port %d%s", FPort, reason.c_str()));
    }
    socket.Release(); // the daemon closes it
    FDaemon.reset(daemon);
}

THttpServer::~THttpServer() = default;
