#include "RequestChecks.h"

#include "TextTools.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <unistd.h>

namespace {

struct TAuthority {
    std::string Host;
    std::string Port; // "" for the scheme's default
};

TAuthority SplitAuthority(std::string_view authority, std::string_view scheme) {
    authority = Trim(authority);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1); // user information is no part of an origin
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        host = authority.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        if (close != std::string_view::npos && authority.substr(close + 1).starts_with(':')) {
            port = authority.substr(close + 2);
        }
    } else if (const auto colon = authority.find(':');
               colon != std::string_view::npos && authority.find(':', colon + 1) == std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.ends_with('.')) {
        host.remove_suffix(1);
    }
    if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) {
        port = {};
    }
    return {LowerAscii(host), std::string(port)};
}

// "scheme://authority..." as the scheme and the authority; nothing for anything else.
bool SplitOrigin(std::string_view url, std::string& scheme, std::string_view& authority) {
    const auto sep = url.find("://");
    if (sep == std::string_view::npos || sep == 0) {
        return false;
    }
    scheme = LowerAscii(url.substr(0, sep));
    authority = url.substr(sep + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    return !authority.empty();
}

} // namespace

std::string HostOfAuthority(std::string_view authority) { return SplitAuthority(authority, "").Host; }

bool IsIPLiteral(std::string_view host) {
    const std::string text(host);
    unsigned char address[16];
    return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

std::string LogSafe(std::string_view text) {
    constexpr std::size_t MaxBytes = 200;
    std::string safe(text.substr(0, MaxBytes));
    for (char& c : safe) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return text.size() > MaxBytes ? safe + "..." : safe;
}

THostCheck::THostCheck(const std::string& allowed) {
    FNames.insert("localhost");
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) == 0 && name[0] != '\0') {
        name[HOST_NAME_MAX] = '\0';
        const std::string full = HostOfAuthority(name);
        const std::string shortName = full.substr(0, full.find('.'));
        FNames.insert({full, shortName, shortName + ".local"});
    }
    std::string_view rest = allowed;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string host = HostOfAuthority(rest.substr(0, comma));
        if (!host.empty()) {
            FNames.insert(host);
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
}

bool THostCheck::Allowed(std::string_view hostHeader) const {
    if (Trim(hostHeader).empty()) {
        return true;
    }
    const std::string host = HostOfAuthority(hostHeader);
    return IsIPLiteral(host) || FNames.contains(host);
}

bool FromOwnOrigin(const THttpRequest& request) {
    const std::string& claimed = !request.Origin.empty() ? request.Origin : request.Referer;
    if (claimed.empty()) {
        return true;
    }
    std::string scheme;
    std::string_view authority;
    // "null" (a sandboxed or local page) names no origin at all.
    if (!SplitOrigin(claimed, scheme, authority) || request.Host.empty()) {
        return false;
    }
    const std::string own = request.Secure ? "https" : "http";
    const TAuthority from = SplitAuthority(authority, scheme);
    const TAuthority to = SplitAuthority(request.Host, own);
    return scheme == own && from.Host == to.Host && from.Port == to.Port;
}

bool TLoginThrottle::Blocked(const std::string& address, TTime now) {
    std::lock_guard guard(FLock);
    const auto it = FPeers.find(address);
    // A clock set back does not stretch a block.
    return it != FPeers.end() && now >= it->second.BlockedFrom && now < it->second.BlockedUntil;
}

bool TLoginThrottle::Failed(const std::string& address, TTime now) {
    std::lock_guard guard(FLock);
    if (FPeers.size() >= MaxPeers && !FPeers.contains(address)) {
        Forget(now);
    }
    TPeer& peer = FPeers[address];
    auto& failures = peer.Failures;
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [&](TTime t) { return t > now || t <= now - Window; }),
                   failures.end());
    failures.push_back(now);
    if (static_cast<int>(failures.size()) < MaxFailures) {
        return false;
    }
    failures.clear();
    peer.BlockedFrom = now;
    peer.BlockedUntil = now + BlockTime;
    return true;
}

void TLoginThrottle::Forget(TTime now) {
    std::erase_if(FPeers, [&](const auto& entry) {
        const TPeer& peer = entry.second;
        const bool blocked = now >= peer.BlockedFrom && now < peer.BlockedUntil;
        return !blocked && (peer.Failures.empty() || peer.Failures.back() <= now - Window);
    });
    if (FPeers.size() >= MaxPeers) {
        // Flooded from that many addresses: the oldest tracking goes, never a block in force.
        for (auto it = FPeers.begin(); it != FPeers.end() && FPeers.size() >= MaxPeers;) {
            it = now < it->second.BlockedUntil ? std::next(it) : FPeers.erase(it);
        }
    }
}
