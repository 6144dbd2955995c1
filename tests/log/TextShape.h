// Checks text against a shape in which '#' stands for any decimal digit and
// every other character for itself (std::regex is avoided: GCC 12 warns
// inside <regex> under the sanitizers, and it is slow on long lines).
#pragma once

#include <cstddef>
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
