#pragma once

#include <cstddef>
#include <string_view>

// One file of the web client, compiled into the program.
struct TWebFile {
    const char* Path;         // the URL path, e.g. "/index.html"
    const char* ResourceName; // "web___index__html"
    const unsigned char* Data; // null when the file is missing
    std::size_t Size;

    std::string_view Bytes() const { return {reinterpret_cast<const char*>(Data), Size}; }
};

// Generated at build time from the client's files, in the list's stored order.
extern const TWebFile WebFileTable[];
extern const std::size_t WebFileCount;

// The first entry whose path equals `path` without regard to ASCII case, or
// null. The table is constant, so any thread may look up.
const TWebFile* FindWebFile(std::string_view path);
