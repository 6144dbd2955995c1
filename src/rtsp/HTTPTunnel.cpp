#include "rtsp/HTTPTunnel.h"

#include <cstring>
#include <string_view>

#include "rtsp/RTSPRequest.h"

namespace {

size_t skipLineEnds(const char* data, size_t size) {
    size_t pos = 0;
    while (pos < size && (data[pos] == '\r' || data[pos] == '\n')) ++pos;
    return pos;
}

// End of the head (just past its empty line), or 0 when not found.
size_t findHeadEnd(const char* data, size_t size) {
    for (size_t i = 1; i < size; ++i) {
        if (data[i] != '\n') continue;
        if (data[i - 1] == '\n') return i + 1;
        if (i >= 2 && data[i - 1] == '\r' && data[i - 2] == '\n') return i + 1;
    }
    return 0;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
        if (a != b) return false;
    }
    return true;
}

// The copy is parsed as a request without body: Content-Length headers are
// renamed so the parser does not wait for the stream.
void hideContentLength(std::string& head) {
    size_t lineStart = 0;
    while (lineStart < head.size()) {
        std::string_view line(head.data() + lineStart, head.size() - lineStart);
        if (startsWithIgnoringCase(line, "content-length")) head[lineStart] = 'X';
        size_t end = head.find('\n', lineStart);
        if (end == std::string::npos) break;
        lineStart = end + 1;
    }
}

}  // namespace

bool looksLikeTunnelPost(const char* data, size_t size) {
    size_t start = skipLineEnds(data, size);
    return size - start >= 5 && memcmp(data + start, "POST ", 5) == 0;
}

int parseTunnelPostHead(const char* data, size_t size, std::string& headStorage,
                        RTSPRequest& request) {
    size_t limit = size < kMaxRequestSize ? size : kMaxRequestSize;
    size_t start = skipLineEnds(data, limit);
    size_t headEnd = findHeadEnd(data + start, limit - start);
    if (headEnd == 0) return size >= kMaxRequestSize ? -1 : 0;
    headEnd += start;
    headStorage.assign(data, headEnd);
    hideContentLength(headStorage);
    if (rtspRequestLength(headStorage.data(), headStorage.size()) !=
        static_cast<int>(headStorage.size())) {
        return -1;
    }
    if (!parseRTSPRequest(headStorage.data(), headStorage.size(), request)) return -1;
    return static_cast<int>(headEnd);
}
