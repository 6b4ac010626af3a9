#pragma once

#include "FileHandle.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a handler answers. It starts as the default response: 200, "text/html",
// no body. The HTTP layer adds "Connection: close" to every response.
struct THttpResponse {
    int Status = 200;
    std::string ContentType = "text/html";
    // The body is one of: Text, Static (bytes that live as long as the
    // program), File (sent from disk, FileSize bytes from FileOffset on), or
    // Producer (called on the connection's thread for the next bytes until it
    // gives 0 at the end, or -1 when it failed: the connection is then cut).
    std::string Text;
    std::string_view Static;
    TFileHandle File;
    std::uint64_t FileOffset = 0;
    std::uint64_t FileSize = 0;
    std::function<std::ptrdiff_t(char* buffer, std::size_t size)> Producer;
    std::vector<std::pair<std::string, std::string>> Headers;
    // Set: status 302 with this "Location".
    std::string Location;
    // Set: status 401 with the Basic challenge for this realm and its body.
    std::string Realm;

    void Redirect(const std::string& location) {
        Status = 302;
        Location = location;
    }
};

// Every error answer goes this way: plain text, never markup a browser would run.
inline void SendText(THttpResponse& response, const std::string& text) {
    response.ContentType = "text/plain; charset=utf-8";
    response.Text = text;
}
