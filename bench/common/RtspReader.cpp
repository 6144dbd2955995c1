#include "RtspReader.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

bool equalsIgnoringCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string headerParameter(const std::string& value, const char* key) {
    std::string wanted = std::string(key) + "=";
    size_t pos = 0;
    while (pos < value.size()) {
        size_t end = value.find(';', pos);
        if (end == std::string::npos) end = value.size();
        std::string item = value.substr(pos, end - pos);
        size_t first = item.find_first_not_of(' ');
        if (first != std::string::npos && item.compare(first, wanted.size(), wanted) == 0)
            return item.substr(first + wanted.size());
        pos = end + 1;
    }
    return "";
}

const std::string* RtspMessage::header(const char* name) const {
    for (const auto& entry : headers)
        if (equalsIgnoringCase(entry.first, name)) return &entry.second;
    return nullptr;
}

int RtspMessage::statusCode() const {
    if (startLine.compare(0, 5, "RTSP/") != 0) return -1;
    size_t space = startLine.find(' ');
    if (space == std::string::npos) return -1;
    return atoi(startLine.c_str() + space + 1);
}

RtspReader::RtspReader(size_t capacity) : fBuffer(capacity) {}

uint8_t* RtspReader::space(size_t& room) {
    if (fBegin > 0) {
        memmove(fBuffer.data(), fBuffer.data() + fBegin, fEnd - fBegin);
        fEnd -= fBegin;
        fBegin = 0;
    }
    room = fBuffer.size() - fEnd;
    return fBuffer.data() + fEnd;
}

RtspReader::Item RtspReader::next(RtspMessage& message, uint8_t& channel, ByteSpan& packet) {
    size_t available = fEnd - fBegin;
    if (available == 0) return Item::None;
    const uint8_t* data = fBuffer.data() + fBegin;
    if (data[0] != '$') return nextMessage(message);
    if (available < 4) return Item::None;
    size_t length = (static_cast<size_t>(data[2]) << 8) | data[3];
    if (available < 4 + length) {
        // A frame can never outgrow the buffer: 4 + 65535 bytes.
        return 4 + length > fBuffer.size() ? Item::Error : Item::None;
    }
    channel = data[1];
    packet = ByteSpan{data + 4, length};
    fBegin += 4 + length;
    return Item::Interleaved;
}

RtspReader::Item RtspReader::nextMessage(RtspMessage& message) {
    const char* data = reinterpret_cast<const char*>(fBuffer.data() + fBegin);
    size_t available = fEnd - fBegin;
    const char* headEnd = static_cast<const char*>(memmem(data, available, "\r\n\r\n", 4));
    if (headEnd == nullptr) return available > kMaxHead ? Item::Error : Item::None;
    size_t headSize = static_cast<size_t>(headEnd - data) + 4;
    if (headSize > kMaxHead) return Item::Error;
    size_t bodySize = 0;
    RtspMessage parsed;
    if (!parseHead(data, headSize - 4, parsed, bodySize)) return Item::Error;
    if (available < headSize + bodySize) return Item::None;
    parsed.body.assign(data + headSize, bodySize);
    fBegin += headSize + bodySize;
    message = std::move(parsed);
    return Item::Message;
}

bool RtspReader::parseHead(const char* head, size_t size, RtspMessage& message, size_t& bodySize) {
    std::string text(head, size);
    size_t lineEnd = text.find("\r\n");
    message.startLine = text.substr(0, lineEnd);
    if (message.startLine.empty()) return false;
    size_t pos = lineEnd == std::string::npos ? text.size() : lineEnd + 2;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        size_t valueStart = line.find_first_not_of(' ', colon + 1);
        message.headers.emplace_back(line.substr(0, colon),
                                     valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    bodySize = 0;
    if (const std::string* length = message.header("Content-Length")) {
        char* end = nullptr;
        unsigned long parsed = strtoul(length->c_str(), &end, 10);
        if (length->empty() || *end != '\0' || parsed > kMaxBody) return false;
        bodySize = parsed;
    }
    return true;
}
