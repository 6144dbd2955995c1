// Incremental Base64 decoding of a tunnelled POST body, which arrives split
// across reads at any point.
#pragma once

#include <cstddef>
#include <cstdint>

class Base64StreamDecoder {
public:
    // Receives decoded bytes; called zero or more times per feed.
    using Sink = void (*)(void* clientData, const uint8_t* data, size_t size);

    // Most bytes one feed of `size` characters can produce.
    static size_t maxDecodedSize(size_t size) { return (size + 3) / 4 * 3; }

    // Decodes every complete 4-character group of what was kept plus `chars`
    // and keeps the (at most 3) characters of an unfinished group. CR, LF,
    // space and tab are skipped anywhere. '=' padding ends a group (and the
    // encoded chunk); the next group starts fresh. Any other character
    // outside the alphabet, or misplaced padding, fails: returns false, and
    // the decoder stays failed until reset(). Writes at most `capacity`
    // bytes to `out`; a capacity below maxDecodedSize(size) may fail.
    bool feed(const char* chars, size_t size, uint8_t* out, size_t capacity,
              size_t& written);
    // Same, handing the output to `sink` in pieces (no heap allocation).
    bool feed(const char* chars, size_t size, Sink sink, void* clientData);

    void reset();
    bool failed() const { return fFailed; }
    size_t pendingCount() const { return fPendingCount; }

private:
    bool takeChar(char c, uint8_t* out, size_t capacity, size_t& written);

    uint8_t fPending[4] = {};  // 6-bit values of the unfinished group
    size_t fPendingCount = 0;
    size_t fPaddingCount = 0;  // '=' seen in the unfinished group
    bool fFailed = false;
};
