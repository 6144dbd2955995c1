#include "AdtsReader.h"

#include <cstring>

unsigned adtsSampleRate(unsigned index) {
    static const unsigned kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};
    return index < sizeof kRates / sizeof kRates[0] ? kRates[index] : 0;
}

bool parseAdtsHeader(const uint8_t* data, size_t size, AdtsHeader& header) {
    if (size < AdtsReader::kHeaderSize) return false;
    // 12 sync bits, then ID and a layer that must be 0.
    if (data[0] != 0xFF || (data[1] & 0xF6) != 0xF0) return false;
    bool crcPresent = (data[1] & 0x01) == 0;
    AdtsHeader h;
    h.objectType = ((data[2] >> 6) & 0x03) + 1;
    h.sampleRateIndex = (data[2] >> 2) & 0x0F;
    h.sampleRate = adtsSampleRate(h.sampleRateIndex);
    h.channelConfig = ((data[2] & 0x01) << 2) | (data[3] >> 6);
    h.frameLength = ((data[3] & 0x03u) << 11) | (static_cast<unsigned>(data[4]) << 3) | (data[5] >> 5);
    h.rawDataBlocks = (data[6] & 0x03) + 1;
    h.headerLength = crcPresent ? 9 : 7;
    if (h.sampleRate == 0 || h.frameLength <= h.headerLength) return false;
    header = h;
    return true;
}

void AdtsReader::reset() {
    fSize = fPos = 0;
    fSkippedBytes = 0;
    fResyncing = false;
}

void AdtsReader::compact() {
    if (fPos == 0) return;
    memmove(fBuffer.data(), fBuffer.data() + fPos, fSize - fPos);
    fSize -= fPos;
    fPos = 0;
}

uint8_t* AdtsReader::prepare(size_t size) {
    compact();
    if (fBuffer.size() < fSize + size) fBuffer.resize(fSize + size);
    return fBuffer.data() + fSize;
}

void AdtsReader::commit(size_t written) {
    if (fSize + written <= fBuffer.size()) fSize += written;
}

void AdtsReader::feed(const uint8_t* data, size_t size) {
    if (size == 0) return;
    memcpy(prepare(size), data, size);
    commit(size);
}

void AdtsReader::skipToNextSync() {
    size_t from = fPos + 1;
    const void* hit = from < fSize ? memchr(fBuffer.data() + from, 0xFF, fSize - from) : nullptr;
    size_t to = hit ? static_cast<const uint8_t*>(hit) - fBuffer.data() : fSize;
    fSkippedBytes += to - fPos;
    fPos = to;
    fResyncing = true;
}

// A sync word found in garbage is believed when the frame it announces is
// followed by another header of the same stream.
bool AdtsReader::confirmedBySuccessor(const AdtsHeader& header, bool& needMore) const {
    size_t following = fPos + header.frameLength;
    needMore = fSize < following + kHeaderSize;
    if (needMore) return false;
    AdtsHeader successor;
    return parseAdtsHeader(fBuffer.data() + following, fSize - following, successor) &&
           successor.sampleRateIndex == header.sampleRateIndex &&
           successor.channelConfig == header.channelConfig;
}

bool AdtsReader::next(AdtsFrame& frame) {
    while (fSize - fPos >= kHeaderSize) {
        const uint8_t* at = fBuffer.data() + fPos;
        AdtsHeader header;
        if (!parseAdtsHeader(at, fSize - fPos, header)) {
            skipToNextSync();
            continue;
        }
        if (fSize - fPos < header.frameLength) return false;
        if (fResyncing) {
            bool needMore = false;
            if (!confirmedBySuccessor(header, needMore)) {
                if (needMore) return false;
                skipToNextSync();
                continue;
            }
            fResyncing = false;
        }
        frame.header = header;
        frame.payload.data = at + header.headerLength;
        frame.payload.size = header.frameLength - header.headerLength;
        fPos += header.frameLength;
        return true;
    }
    return false;
}
