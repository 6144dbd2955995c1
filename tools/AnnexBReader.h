// Splits an Annex-B byte stream into NAL units (without start codes) as the
// bytes arrive, in pieces of any size.
//
// Use: feed() or prepare()/commit() a piece, then call next() until it returns
// false; after the last piece call markEnd() and drain next() once more for
// the trailing unit. A unit returned by next() stays valid until the next
// prepare(), feed() or reset().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ByteSpan.h"

class AnnexBReader {
public:
    // Units longer than this are dropped whole (counted in oversizedUnits()).
    static constexpr size_t kDefaultMaxUnitSize = 8u << 20;

    explicit AnnexBReader(size_t maxUnitSize = kDefaultMaxUnitSize);

    // Room for `size` more bytes; write there, then commit what was written.
    uint8_t* prepare(size_t size);
    void commit(size_t written);
    void feed(const uint8_t* data, size_t size);
    // No more bytes will come: the unit in progress ends with the data.
    void markEnd() { fEnded = true; }
    void reset();

    bool next(ByteSpan& unit);

    uint64_t oversizedUnits() const { return fOversizedUnits; }

private:
    size_t findStartCode(size_t from) const;
    size_t withoutTrailingZeros(size_t begin, size_t end) const;
    bool takeUnit(size_t begin, size_t end, ByteSpan& unit);
    bool takeTrailingUnit(ByteSpan& unit);
    void dropOversizedUnit();
    void compact();

    std::vector<uint8_t> fBuffer;
    size_t fSize = 0;       // bytes of fBuffer in use
    size_t fUnitStart = 0;  // first byte of the unit in progress
    size_t fScanFrom = 0;   // where the search for the next start code resumes
    bool fInUnit = false;   // a start code has been seen and its unit is open
    bool fEnded = false;
    size_t fMaxUnitSize;
    uint64_t fOversizedUnits = 0;
};
