#include "HttpRequest.h"

#include "TextTools.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+' || c == '-') {
        return 62;
    }
    if (c == '/' || c == '_') {
        return 63;
    }
    return -1;
}

} // namespace

std::string THttpRequest::Param(std::string_view name) const {
    for (const auto& [key, value] : Params) {
        if (EqualsIgnoringCase(key, name)) {
            return value;
        }
    }
    return {};
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

void AppendParams(std::string_view encoded, std::vector<std::pair<std::string, std::string>>& params) {
    auto decode = [](std::string_view part) {
        std::string s(part);
        for (char& c : s) {
            if (c == '+') {
                c = ' ';
            }
        }
        return PercentDecode(s);
    };
    while (!encoded.empty()) {
        const std::size_t amp = encoded.find('&');
        const std::string_view pair = encoded.substr(0, amp);
        encoded = amp == std::string_view::npos ? std::string_view() : encoded.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            params.emplace_back(decode(pair), std::string());
        } else {
            params.emplace_back(decode(pair.substr(0, eq)), decode(pair.substr(eq + 1)));
        }
    }
}

void ParseRequestTarget(std::string_view target, THttpRequest& request) {
    const std::size_t query = target.find('?');
    request.Path = PercentDecode(target.substr(0, query));
    if (query != std::string_view::npos) {
        AppendParams(target.substr(query + 1), request.Params);
    }
}

bool IsFormContentType(std::string_view contentType) {
    return EqualsIgnoringCase(contentType, "application/x-www-form-urlencoded");
}

bool IsJsonContentType(std::string_view contentType) {
    const std::string_view type = contentType.substr(0, contentType.find(';'));
    return EqualsIgnoringCase(type.substr(0, type.find_last_not_of(' ') + 1), "application/json");
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = Base64Value(c);
        if (v < 0) {
            continue; // padding, blanks and line breaks
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

TAuthorization ParseAuthorization(std::string_view header, THttpRequest& request) {
    const std::string_view value = Trim(header);
    if (value.empty()) {
        return TAuthorization::None;
    }
    const std::size_t blank = value.find_first_of(" \t");
    const std::string_view scheme = value.substr(0, blank);
    if (!EqualsIgnoringCase(scheme, "Basic")) {
        return TAuthorization::Foreign;
    }
    const std::string decoded =
        Base64Decode(blank == std::string_view::npos ? std::string_view() : Trim(value.substr(blank)));
    const std::size_t colon = decoded.find(':');
    request.CredentialsGiven = true;
    request.CredentialUser = decoded.substr(0, colon);
    request.CredentialPassword = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
    return TAuthorization::Basic;
}
