#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the router sees of one request. Built from the raw request line and
// headers by the HTTP layer; nothing here depends on libmicrohttpd, so the
// parsing can be tested and fuzzed on its own.
struct THttpRequest {
    std::string Method; // as sent, also for methods this server does not know
    std::string Path;   // without the query, percent-decoded
    // From the query, or for a url-encoded POST from the body followed by the query.
    std::vector<std::pair<std::string, std::string>> Params;
    std::string Body; // a JSON POST's body; "" for any other

    bool CredentialsGiven = false;
    std::string CredentialUser;
    std::string CredentialPassword;
    // Headers that tell where a request comes from; "" when absent.
    std::string Host;
    std::string Origin;
    std::string Referer;
    std::string Peer;    // the client's address, IPv4 peers as IPv4
    std::string Range;   // the Range header
    std::string IfRange;
    bool Secure = false; // came over HTTPS

    // The first parameter of that name (without regard to case), or "".
    std::string Param(std::string_view name) const;
};

// %XX sequences decoded; a '%' not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text);

// Splits at '&' and the first '=' of each pair, '+' becomes a blank, then
// each part is percent-decoded. Empty pairs are skipped.
void AppendParams(std::string_view encoded, std::vector<std::pair<std::string, std::string>>& params);

// The path and query of a request target ("/a%20b?x=1"): Path and Params.
void ParseRequestTarget(std::string_view target, THttpRequest& request);

// Only a body of exactly this content type (no parameters after it) carries parameters.
bool IsFormContentType(std::string_view contentType);
// "application/json", with or without parameters such as a charset.
bool IsJsonContentType(std::string_view contentType);

enum class TAuthorization {
    None,    // no header, or an empty one
    Basic,   // credentials filled in
    Foreign, // another scheme: the connection is closed unanswered
};
// Reads an Authorization header value into the request's credentials: the
// Base64 text after "Basic" split at its first ':'.
TAuthorization ParseAuthorization(std::string_view header, THttpRequest& request);

std::string Base64Decode(std::string_view text);
