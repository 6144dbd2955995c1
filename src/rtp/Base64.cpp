#include "rtp/Base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Encode(const uint8_t* data, size_t length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = length - i;
    if (rest > 0) {
        uint32_t v = data[i] << 16;
        if (rest == 2) v |= data[i + 1] << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(const char* text, size_t textLength, uint8_t* out, size_t capacity,
                  size_t& decodedLength) {
    decodedLength = 0;
    if (textLength % 4 != 0) return false;
    size_t written = 0;
    for (size_t group = 0; group < textLength; group += 4) {
        bool last = group + 4 == textLength;
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[group + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return false;  // data after padding
            v[k] = valueOf(c);
            if (v[k] < 0) return false;
        }
        uint32_t bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        int bytes = 3 - padding;
        if (written + bytes > capacity) return false;
        out[written++] = static_cast<uint8_t>(bits >> 16);
        if (bytes > 1) out[written++] = static_cast<uint8_t>(bits >> 8);
        if (bytes > 2) out[written++] = static_cast<uint8_t>(bits);
    }
    decodedLength = written;
    return true;
}
