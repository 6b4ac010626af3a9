#pragma once

#include "HttpRequest.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

// The host of a Host header or an origin's authority: lower case, without the
// port, the brackets of an IPv6 literal or a trailing dot.
std::string HostOfAuthority(std::string_view authority);
bool IsIPLiteral(std::string_view host);
// Text a client sent, fit for one log line: control characters become '?'
// (a decoded "%0A" must not forge a line), and at most 200 bytes are kept.
std::string LogSafe(std::string_view text);

// The names a server without a user answers to. A foreign page can make a
// name of its own point at this machine (DNS rebinding), but the browser then
// sends that name as Host, so only IP literals, localhost, the machine's own
// names and the names the station lists are taken.
class THostCheck {
public:
    // Own names from the system, plus `allowed`: comma-separated extra names.
    explicit THostCheck(const std::string& allowed = "");
    // A request without Host (HTTP/1.0) did not come from a browser.
    bool Allowed(std::string_view hostHeader) const;

private:
    std::set<std::string> FNames;
};

// Whether a request that changes something comes from a page of this server:
// its Origin, or without one its Referer, names the scheme, host and port the
// request was sent to. A request with neither (curl, scripts) passes.
bool FromOwnOrigin(const THttpRequest& request);

// Failed logins per client address. Blocks an address for a while once it
// has failed too often within a window; other addresses are not affected.
// Thread-safe: connection threads call it at once.
class TLoginThrottle {
public:
    using TTime = std::chrono::system_clock::time_point;
    static constexpr int MaxFailures = 10;
    static constexpr std::chrono::seconds Window{60};
    static constexpr std::chrono::seconds BlockTime{60};

    bool Blocked(const std::string& address, TTime now);
    // True when this failure starts a block (to be logged once).
    bool Failed(const std::string& address, TTime now);

private:
    struct TPeer {
        std::deque<TTime> Failures; // within the window, oldest first
        TTime BlockedFrom{};
        TTime BlockedUntil{};
    };
    void Forget(TTime now); // addresses with nothing in force, when the map has grown

    static constexpr std::size_t MaxPeers = 4096;
    std::mutex FLock; // guards FPeers
    std::map<std::string, TPeer> FPeers;
};
