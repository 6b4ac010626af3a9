#pragma once

#include <optional>
#include <stdexcept>
#include <string>

// The texts a stream brings besides its audio: playlists that point to it and
// the ICY metadata that names what plays.
namespace StreamText {

std::string Lower(std::string s);
// The path's extension, lower case, without query or fragment.
std::string ExtensionOf(const std::string& url);
// The first entry of a .pls (File1=) or plain m3u (first non-comment line).
std::optional<std::string> FirstPlaylistEntry(const std::string& text, bool pls);
// A playlist entry relative to the playlist's own URL made absolute.
std::string Resolve(const std::string& base, const std::string& entry);

// A URL that is no http or https address. FFmpeg would read local files,
// pipes, inline data or raw sockets just as readily, and a recording of those
// could be downloaded from the web page. what() is the slot's status text.
class TSchemeRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// `url` with its scheme in lower case, as FFmpeg knows it; throws
// TSchemeRefused unless it begins with "http://" or "https://".
std::string AllowedStreamUrl(const std::string& url);
// What FFmpeg may open on behalf of such a URL (connections, TLS, HLS keys).
inline constexpr const char* StreamProtocols = "http,https,tcp,tls,crypto,httpproxy";
// Whether a MIME type names a playlist; `pls` tells which kind.
bool IsPlaylistMime(const std::string& mime, bool& pls);

} // namespace StreamText
