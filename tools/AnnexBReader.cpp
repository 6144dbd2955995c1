#include "AnnexBReader.h"

#include <cstring>

static constexpr size_t kNotFound = static_cast<size_t>(-1);

AnnexBReader::AnnexBReader(size_t maxUnitSize) : fMaxUnitSize(maxUnitSize) {}

void AnnexBReader::reset() {
    fSize = fUnitStart = fScanFrom = 0;
    fInUnit = fEnded = false;
}

uint8_t* AnnexBReader::prepare(size_t size) {
    compact();
    if (fBuffer.size() < fSize + size) fBuffer.resize(fSize + size);
    return fBuffer.data() + fSize;
}

void AnnexBReader::commit(size_t written) {
    if (fSize + written <= fBuffer.size()) fSize += written;
}

void AnnexBReader::feed(const uint8_t* data, size_t size) {
    if (size == 0) return;
    memcpy(prepare(size), data, size);
    commit(size);
}

// Moves the open unit (or the bytes a split start code may begin with) to the
// front, so that the buffer never holds more than one unit plus a new piece.
void AnnexBReader::compact() {
    size_t keepFrom = fInUnit ? fUnitStart : fScanFrom;
    if (keepFrom == 0) return;
    memmove(fBuffer.data(), fBuffer.data() + keepFrom, fSize - keepFrom);
    fSize -= keepFrom;
    fScanFrom -= keepFrom;
    fUnitStart = fInUnit ? 0 : fScanFrom;
}

// Position of the next "00 00 01" at or after `from`.
size_t AnnexBReader::findStartCode(size_t from) const {
    const uint8_t* bytes = fBuffer.data();
    size_t i = from + 2;
    while (i < fSize) {
        const void* hit = memchr(bytes + i, 1, fSize - i);
        if (hit == nullptr) return kNotFound;
        size_t one = static_cast<const uint8_t*>(hit) - bytes;
        if (bytes[one - 1] == 0 && bytes[one - 2] == 0) return one - 2;
        i = one + 1;
    }
    return kNotFound;
}

// A unit never ends in a zero byte: zeros before a start code are the first
// byte of a 4-byte start code or trailing padding.
size_t AnnexBReader::withoutTrailingZeros(size_t begin, size_t end) const {
    while (end > begin && fBuffer[end - 1] == 0) --end;
    return end;
}

bool AnnexBReader::takeUnit(size_t begin, size_t end, ByteSpan& unit) {
    end = withoutTrailingZeros(begin, end);
    if (end == begin) return false;
    if (end - begin > fMaxUnitSize) {
        ++fOversizedUnits;
        return false;
    }
    unit.data = fBuffer.data() + begin;
    unit.size = end - begin;
    return true;
}

bool AnnexBReader::takeTrailingUnit(ByteSpan& unit) {
    fInUnit = false;
    size_t begin = fUnitStart;
    fUnitStart = fScanFrom = fSize;
    return takeUnit(begin, fSize, unit);
}

void AnnexBReader::dropOversizedUnit() {
    ++fOversizedUnits;
    fInUnit = false;
    fUnitStart = fScanFrom;
}

bool AnnexBReader::next(ByteSpan& unit) {
    for (;;) {
        size_t startCode = findStartCode(fScanFrom);
        if (startCode == kNotFound) {
            if (fEnded) return fInUnit && takeTrailingUnit(unit);
            // A start code split across pieces begins in the last two bytes.
            if (fSize >= 2 && fSize - 2 > fScanFrom) fScanFrom = fSize - 2;
            if (fInUnit && fScanFrom - fUnitStart > fMaxUnitSize) dropOversizedUnit();
            return false;
        }
        size_t begin = fUnitStart;
        bool hadUnit = fInUnit;
        fInUnit = true;
        fUnitStart = fScanFrom = startCode + 3;
        if (hadUnit && takeUnit(begin, startCode, unit)) return true;
    }
}
