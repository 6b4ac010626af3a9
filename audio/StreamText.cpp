// GCC 12 takes std::regex's own std::function members for uninitialised when
// the sanitizers are on. The warning is placed in the library headers, so they
// are read first with it off; nothing of this file is covered.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <functional>
#include <regex>
#pragma GCC diagnostic pop

#include "StreamText.h"
#include "UrlStream.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

} // namespace

namespace StreamText {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string ExtensionOf(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    // Only the path counts: a host name's dots are no extension.
    if (const auto scheme = path.find("://"); scheme != std::string::npos) {
        const auto pathStart = path.find('/', scheme + 3);
        path = pathStart == std::string::npos ? std::string() : path.substr(pathStart);
    }
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    return Lower(path.substr(dot + 1));
}

std::optional<std::string> FirstPlaylistEntry(const std::string& text, bool pls) {
    std::size_t at = 0;
    std::optional<std::string> firstFile;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (pls) {
            const std::string key = Lower(line.substr(0, line.find('=')));
            if (key == "file1") {
                return Trim(line.substr(line.find('=') + 1));
            }
            // Some lists number from another value; the first File entry will do.
            if (!firstFile && key.rfind("file", 0) == 0 && line.find('=') != std::string::npos) {
                firstFile = Trim(line.substr(line.find('=') + 1));
            }
        } else if (!line.empty() && line[0] != '#') {
            return line;
        }
    }
    return firstFile;
}

std::string AllowedStreamUrl(const std::string& url) {
    const std::string lower = Lower(url.substr(0, 8));
    if (lower.starts_with("http://") || lower.starts_with("https://")) {
        const auto colon = url.find(':');
        return lower.substr(0, colon) + url.substr(colon);
    }
    const auto colon = url.find(':');
    const bool named = colon != std::string::npos && colon > 0 &&
                       std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
                       });
    if (!named) {
        throw TSchemeRefused("A stream URL must begin with http:// or https://");
    }
    throw TSchemeRefused("Scheme \"" + Lower(url.substr(0, colon)) +
                         "\" is not allowed: streams are recorded over http and https only");
}

std::string Resolve(const std::string& base, const std::string& entry) {
    const auto scheme = base.find("://");
    if (entry.empty() || entry.find("://") != std::string::npos || scheme == std::string::npos) {
        return entry;
    }
    const std::string path = base.substr(0, base.find_first_of("?#"));
    const auto pathStart = path.find('/', scheme + 3);
    if (entry[0] == '/' || pathStart == std::string::npos) {
        return path.substr(0, pathStart) + (entry[0] == '/' ? "" : "/") + entry;
    }
    return path.substr(0, path.find_last_of('/') + 1) + entry;
}

bool IsPlaylistMime(const std::string& mime, bool& pls) {
    const std::string m = Lower(mime.substr(0, mime.find(';')));
    if (m == "audio/x-scpls") {
        pls = true;
        return true;
    }
    if (m == "audio/x-mpegurl" || m == "audio/mpegurl" || m == "application/vnd.apple.mpegurl" ||
        m == "application/x-mpegurl") {
        pls = false;
        return true;
    }
    return false;
}

} // namespace StreamText

std::optional<std::string> StreamTitleOf(const std::string& meta) {
    static const std::regex pattern("StreamTitle='([\\s\\S]*?)';");
    std::smatch match;
    if (!std::regex_search(meta, match, pattern)) {
        return std::nullopt;
    }
    return match[1].str();
}
