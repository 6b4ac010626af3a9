#pragma once

#include <optional>
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
// Whether a MIME type names a playlist; `pls` tells which kind.
bool IsPlaylistMime(const std::string& mime, bool& pls);

} // namespace StreamText
