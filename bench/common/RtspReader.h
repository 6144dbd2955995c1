// Reads an RTSP byte stream as it arrives: requests or responses (head and
// body), and '$'-framed interleaved packets between them. Bounded: a head
// over 16 KiB, a body over 64 KiB or a malformed head is an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ByteSpan.h"

struct RtspMessage {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of a header, matched without regard to case; null if absent.
    const std::string* header(const char* name) const;
    // The status code of a response, -1 for anything else.
    int statusCode() const;
};

class RtspReader {
public:
    enum class Item { None, Message, Interleaved, Error };
    static constexpr size_t kMaxHead = 16 * 1024;
    static constexpr size_t kMaxBody = 64 * 1024;

    explicit RtspReader(size_t capacity = 256 * 1024);

    // Room to read into (compacts first); write there, then commit.
    uint8_t* space(size_t& room);
    void commit(size_t written) { fEnd += written; }

    // The next complete item. An interleaved packet stays valid until the next
    // call to space().
    Item next(RtspMessage& message, uint8_t& channel, ByteSpan& packet);

private:
    Item nextMessage(RtspMessage& message);
    bool parseHead(const char* head, size_t size, RtspMessage& message, size_t& bodySize);

    std::vector<uint8_t> fBuffer;
    size_t fBegin = 0;
    size_t fEnd = 0;
};

// Case-insensitive comparison of ASCII texts.
bool equalsIgnoringCase(const std::string& a, const char* b);
// The value of `key=` inside a header value such as Transport (up to ';' or
// the end); empty when absent.
std::string headerParameter(const std::string& value, const char* key);
