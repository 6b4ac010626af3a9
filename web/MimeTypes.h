#pragma once

#include <map>
#include <string>
#include <string_view>

// Content types by file extension, without regard to case: the host's
// registered types (/etc/mime.types) before the built-in list, then
// "application/octet-stream".
class TMimeTypes {
public:
    // Reads the host's list; a missing or unreadable file leaves the built-in list alone.
    explicit TMimeTypes(const std::string& hostFile = "/etc/mime.types");

    // The type of a path's extension ("/a/b.MP3" or ".mp3").
    std::string Lookup(std::string_view path) const;

    // The host's list, read once for the whole program.
    static const TMimeTypes& System();

private:
    std::map<std::string, std::string> FHost;    // extension without the dot, lower case
    std::map<std::string, std::string> FBuiltIn;
};
