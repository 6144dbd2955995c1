// Checks text against a shape in which '#' stands for any decimal digit and
// every other character for itself (std::regex is avoided: GCC 12 warns
// inside <regex> under the sanitizers, and it is slow on long lines).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

inline bool hasShape(const std::string& text, size_t at, const std::string& shape) {
    if (at > text.size() || text.size() - at < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = text[at + i];
        if (shape[i] == '#' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
}

inline bool isShape(const std::string& text, const std::string& shape) {
    return text.size() == shape.size() && hasShape(text, 0, shape);
}

// The log's time-stamp prefix: "%Y%m%d %H%M%S ".
const char kStampShape[] = "######## ###### ";
constexpr size_t kStampLength = sizeof kStampShape - 1;

// The local time written as "YYYYMMDD HHMMSS" at `at` (shape checked by the
// caller); -1 when it is no valid time.
inline time_t localTimeAt(const std::string& text, size_t at) {
    auto number = [&text, at](size_t from, size_t length) { return std::stoi(text.substr(at + from, length)); };
    struct tm local = {};
    local.tm_year = number(0, 4) - 1900;
    local.tm_mon = number(4, 2) - 1;
    local.tm_mday = number(6, 2);
    local.tm_hour = number(9, 2);
    local.tm_min = number(11, 2);
    local.tm_sec = number(13, 2);
    local.tm_isdst = -1;
    return mktime(&local);
}
