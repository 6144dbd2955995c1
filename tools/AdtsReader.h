// Reads AAC ADTS frames from a byte stream arriving in pieces of any size and
// hands out each access unit without its ADTS header.
//
// Use: feed() or prepare()/commit() a piece, then call next() until it returns
// false. A frame returned by next() stays valid until the next prepare(),
// feed() or reset().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ByteSpan.h"

struct AdtsHeader {
    unsigned objectType = 0;       // profile + 1: 2 = AAC-LC
    unsigned sampleRateIndex = 0;
    unsigned sampleRate = 0;       // Hz
    unsigned channelConfig = 0;    // 0 = defined in the payload
    unsigned frameLength = 0;      // header included
    unsigned headerLength = 0;     // 7, or 9 with a CRC
    unsigned rawDataBlocks = 0;    // access units in the frame
};

// Reads the header at `data`; false unless it is a complete, sensible one.
bool parseAdtsHeader(const uint8_t* data, size_t size, AdtsHeader& header);
// Sampling rate of an index of the MPEG-4 table, 0 for reserved ones.
unsigned adtsSampleRate(unsigned index);

struct AdtsFrame {
    AdtsHeader header;
    ByteSpan payload;  // the access unit without the header
};

class AdtsReader {
public:
    static constexpr size_t kHeaderSize = 7;

    uint8_t* prepare(size_t size);
    void commit(size_t written);
    void feed(const uint8_t* data, size_t size);
    void reset();

    bool next(AdtsFrame& frame);

    // Bytes skipped while looking for a header (garbage, broken frames).
    uint64_t skippedBytes() const { return fSkippedBytes; }
    // Bytes held for a frame not yet complete (at the end: a cut-off frame).
    size_t bufferedBytes() const { return fSize - fPos; }

private:
    void skipToNextSync();
    bool confirmedBySuccessor(const AdtsHeader& header, bool& needMore) const;
    void compact();

    std::vector<uint8_t> fBuffer;
    size_t fSize = 0;
    size_t fPos = 0;
    uint64_t fSkippedBytes = 0;
    // After skipping, a header counts only when a like one follows its frame.
    bool fResyncing = false;
};
