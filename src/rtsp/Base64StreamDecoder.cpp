#include "rtsp/Base64StreamDecoder.h"

namespace {

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isSkipped(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// Input slice of the sink variant; its output fits kSinkChunk bytes.
constexpr size_t kSinkSlice = 1024;
constexpr size_t kSinkChunk = (kSinkSlice + 3) / 4 * 3;

}  // namespace

void Base64StreamDecoder::reset() {
    fPendingCount = 0;
    fPaddingCount = 0;
    fFailed = false;
}

bool Base64StreamDecoder::takeChar(char c, uint8_t* out, size_t capacity, size_t& written) {
    if (isSkipped(c)) return true;
    if (c == '=') {
        if (fPendingCount < 2) return false;  // a group holds at least 2 data characters
        ++fPaddingCount;
        fPending[fPendingCount++] = 0;
    } else {
        int value = base64Value(c);
        if (value < 0 || fPaddingCount > 0) return false;
        fPending[fPendingCount++] = static_cast<uint8_t>(value);
    }
    if (fPendingCount < 4) return true;
    size_t bytes = 3 - fPaddingCount;
    if (written + bytes > capacity) return false;
    uint32_t bits = (uint32_t{fPending[0]} << 18) | (uint32_t{fPending[1]} << 12) |
                    (uint32_t{fPending[2]} << 6) | fPending[3];
    out[written++] = static_cast<uint8_t>(bits >> 16);
    if (bytes > 1) out[written++] = static_cast<uint8_t>(bits >> 8);
    if (bytes > 2) out[written++] = static_cast<uint8_t>(bits);
    fPendingCount = 0;
    fPaddingCount = 0;
    return true;
}

bool Base64StreamDecoder::feed(const char* chars, size_t size, uint8_t* out, size_t capacity,
                               size_t& written) {
    written = 0;
    if (fFailed) return false;
    for (size_t i = 0; i < size; ++i) {
        if (!takeChar(chars[i], out, capacity, written)) {
            fFailed = true;
            return false;
        }
    }
    return true;
}

bool Base64StreamDecoder::feed(const char* chars, size_t size, Sink sink, void* clientData) {
    if (fFailed) return false;
    uint8_t chunk[kSinkChunk];
    for (size_t done = 0; done < size; done += kSinkSlice) {
        size_t slice = size - done < kSinkSlice ? size - done : kSinkSlice;
        size_t written = 0;
        if (!feed(chars + done, slice, chunk, sizeof chunk, written)) return false;
        if (written > 0) sink(clientData, chunk, written);
    }
    return true;
}
