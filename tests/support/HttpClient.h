#pragma once

#include <map>
#include <string>
#include <vector>

namespace TestSupport {

struct THttpReply {
    int CurlCode = 0; // 0: a response came; otherwise libcurl's error (52: nothing was answered)
    long Status = 0;
    std::map<std::string, std::string> Headers; // names in lower case
    std::string Body;

    std::string Header(const std::string& lowerName) const {
        const auto it = Headers.find(lowerName);
        return it == Headers.end() ? std::string() : it->second;
    }
};

struct THttpCall {
    std::string Method = "GET";
    std::string Url;
    std::vector<std::string> Headers; // "Name: value"
    std::string Body;                 // sent for POST
    std::string UserPassword;         // "user:password" for Basic, empty for none
    std::string CaFile = {};          // a PEM file to trust for https
    std::string From = {};            // the local address to connect from
};

// One request with libcurl, on a connection of its own.
THttpReply Http(const THttpCall& call);
inline THttpReply Get(const std::string& url) { return Http({"GET", url, {}, {}, {}}); }

} // namespace TestSupport
