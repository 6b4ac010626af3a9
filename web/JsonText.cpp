#include "JsonText.h"

#include "HttpResponse.h"
#include "TextTools.h"

#include <cmath>

namespace {

// The next code point of UTF-8 text; a byte that starts no valid sequence is taken alone.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    if (length == 0 || i + static_cast<std::size_t>(length) > s.size()) {
        ++i;
        return lead;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char c = byte(i + static_cast<std::size_t>(k));
        if ((c & 0xC0) != 0x80) {
            ++i;
            return lead;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return lead;
    }
    i += static_cast<std::size_t>(length);
    return cp;
}

void AppendUnit(std::string& out, unsigned unit) { out += Format("\\u%04x", unit); }

void Append(std::string& out, const TJson& value, int level) {
    switch (value.type()) {
    case TJson::value_t::array:
    case TJson::value_t::object: {
        const bool object = value.is_object();
        if (value.empty()) {
            out += object ? "{}" : "[]";
            return;
        }
        const std::string inner = "\r\n" + std::string(static_cast<std::size_t>(level + 1), ' ');
        out += object ? '{' : '[';
        for (auto it = value.begin(); it != value.end(); ++it) {
            out += it == value.begin() ? "" : ",";
            out += inner;
            if (object) {
                out += JsonString(it.key()) + ": ";
            }
            Append(out, *it, level + 1);
        }
        out += "\r\n" + std::string(static_cast<std::size_t>(level), ' ') + (object ? '}' : ']');
        return;
    }
    case TJson::value_t::string:
        out += JsonString(value.get_ref<const std::string&>());
        return;
    case TJson::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        return;
    case TJson::value_t::number_integer:
        out += std::to_string(value.get<std::int64_t>());
        return;
    case TJson::value_t::number_unsigned:
        out += std::to_string(value.get<std::uint64_t>());
        return;
    case TJson::value_t::number_float: {
        const double d = value.get<double>();
        out += std::isfinite(d) ? Format("%.15g", d) : "null";
        return;
    }
    default:
        out += "null";
        return;
    }
}

} // namespace

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = NextCodePoint(utf8, i);
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (cp < 32 || (cp > 127 && cp < 0x10000)) {
                AppendUnit(out, static_cast<unsigned>(cp));
            } else if (cp >= 0x10000) {
                const char32_t v = cp - 0x10000;
                AppendUnit(out, static_cast<unsigned>(0xD800 + (v >> 10)));
                AppendUnit(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
            } else {
                out += static_cast<char>(cp);
            }
        }
    }
    return out + "\"";
}

std::string JsonText(const TJson& value) {
    std::string out;
    Append(out, value, 0);
    return out;
}

void SendJSON(THttpResponse& response, const TJson& value) {
    response.ContentType = "application/json";
    response.Text = JsonText(value);
}
