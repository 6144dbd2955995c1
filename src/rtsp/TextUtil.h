// Small text helpers shared by the protocol parsers.
#pragma once

#include <cstddef>
#include <string_view>

inline char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

inline bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Decimal digits only (no sign, no blanks), at most `maxValue`.
inline bool parseBoundedDecimal(std::string_view s, unsigned long maxValue, unsigned long& out) {
    if (s.empty()) return false;
    unsigned long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > maxValue) return false;
    }
    out = value;
    return true;
}
