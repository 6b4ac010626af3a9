#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// ASCII case folding, as HTTP and the web file list compare names.
inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerAscii(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        c = LowerAscii(c);
    }
    return s;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

inline std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

template <typename... TArgs>
std::string Format(const char* format, TArgs... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(s.data(), s.size() + 1, format, args...);
    return s;
}

inline bool IsControlCharacter(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

inline bool HasControlCharacters(std::string_view text) {
    for (char c : text) {
        if (IsControlCharacter(c)) {
            return true;
        }
    }
    return false;
}

// A text from settings or a catalogue as one log line: control characters become '?'.
inline std::string LogText(std::string_view text) {
    std::string safe(text);
    for (char& c : safe) {
        if (IsControlCharacter(c)) {
            c = '?';
        }
    }
    return safe;
}
