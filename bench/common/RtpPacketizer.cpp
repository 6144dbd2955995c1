#include "RtpPacketizer.h"

#include <cstring>

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kSinglePayload = RtpPacketizer::kMaxPacket - kHeader;
constexpr size_t kFragmentPayload = RtpPacketizer::kMaxPacket - kHeader - 2;

}  // namespace

size_t RtpPacketizer::bytesNeeded(const AccessUnit& au) const {
    size_t bytes = 0;
    for (const ByteSpan& unit : au.units) {
        size_t fragments = unit.size <= kSinglePayload ? 1 : (unit.size - 1 + kFragmentPayload - 1) / kFragmentPayload;
        bytes += unit.size + fragments * (kHeader + 2);
    }
    return bytes;
}

uint8_t* RtpPacketizer::putHeader(uint8_t* out, bool marker, uint32_t timestamp) {
    out[0] = 0x80;
    out[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | fPayloadType);
    out[2] = static_cast<uint8_t>(fSequence >> 8);
    out[3] = static_cast<uint8_t>(fSequence);
    ++fSequence;
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(fSsrc >> (24 - 8 * i));
    return out + kHeader;
}

uint8_t* RtpPacketizer::putUnit(uint8_t* out, ByteSpan unit, bool lastUnit, uint32_t timestamp) {
    if (unit.size <= kSinglePayload) {
        uint8_t* start = out;
        out = putHeader(out, lastUnit, timestamp);
        memcpy(out, unit.data, unit.size);
        out += unit.size;
        fPackets.push_back(iovec{start, static_cast<size_t>(out - start)});
        return out;
    }
    uint8_t indicator = static_cast<uint8_t>((unit.data[0] & 0xE0) | 28);
    uint8_t type = unit.data[0] & 0x1F;
    for (size_t offset = 1; offset < unit.size;) {
        size_t chunk = unit.size - offset < kFragmentPayload ? unit.size - offset : kFragmentPayload;
        bool last = offset + chunk == unit.size;
        uint8_t* start = out;
        out = putHeader(out, last && lastUnit, timestamp);
        *out++ = indicator;
        *out++ = static_cast<uint8_t>((offset == 1 ? 0x80 : 0) | (last ? 0x40 : 0) | type);
        memcpy(out, unit.data + offset, chunk);
        out += chunk;
        offset += chunk;
        fPackets.push_back(iovec{start, static_cast<size_t>(out - start)});
    }
    return out;
}

void RtpPacketizer::build(const AccessUnit& au, uint32_t timestamp) {
    size_t needed = bytesNeeded(au);
    if (fBuffer.size() < needed) fBuffer.resize(needed);  // grows to the largest access unit, then stays
    fPackets.clear();
    uint8_t* out = fBuffer.data();
    for (size_t i = 0; i < au.units.size(); ++i)
        out = putUnit(out, au.units[i], i + 1 == au.units.size(), timestamp);
    for (const iovec& packet : fPackets) {
        ++fPacketCount;
        fOctetCount += static_cast<uint32_t>(packet.iov_len - kHeader);
    }
    fInterleavedStale = true;
}

const std::vector<uint8_t>& RtpPacketizer::interleaved() {
    if (!fInterleavedStale) return fInterleaved;
    fInterleavedStale = false;
    size_t total = 0;
    for (const iovec& packet : fPackets) total += 4 + packet.iov_len;
    fInterleaved.resize(total);
    uint8_t* out = fInterleaved.data();
    for (const iovec& packet : fPackets) {
        out[0] = '$';
        out[1] = 0;
        out[2] = static_cast<uint8_t>(packet.iov_len >> 8);
        out[3] = static_cast<uint8_t>(packet.iov_len);
        memcpy(out + 4, packet.iov_base, packet.iov_len);
        out += 4 + packet.iov_len;
    }
    return fInterleaved;
}
