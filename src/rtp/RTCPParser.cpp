#include "rtp/RTCPParser.h"

namespace {

constexpr size_t kCommonHeaderSize = 4;
constexpr size_t kReportBlockSize = 24;

uint32_t readWord(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Checks one SR/RR/BYE body (after padding removal) and records it.
bool notePacket(uint8_t type, unsigned count, const uint8_t* packet, size_t size,
                RTCPCompoundInfo& info) {
    switch (type) {
        case RTCP_PT_SR:
        case RTCP_PT_RR: {
            size_t fixed = type == RTCP_PT_SR ? 28 : 8;  // header, SSRC (and sender info)
            if (size < fixed + count * kReportBlockSize) return false;
            if (!info.hasReport) info.reporterSSRC = readWord(packet + 4);
            info.hasReport = true;
            info.numReportBlocks += count;
            return true;
        }
        case RTCP_PT_BYE: {
            if (size < kCommonHeaderSize + 4 * static_cast<size_t>(count)) return false;
            info.hasBye = true;
            for (unsigned i = 0; i < count && info.numByeSSRCs < RTCPCompoundInfo::kMaxByeSSRCs; ++i) {
                info.byeSSRCs[info.numByeSSRCs++] = readWord(packet + kCommonHeaderSize + 4 * i);
            }
            return true;
        }
        default:
            return true;  // SDES, APP and others: only their length matters here
    }
}

}  // namespace

bool parseRTCPCompound(const uint8_t* data, size_t size, RTCPCompoundInfo& info) {
    info = RTCPCompoundInfo();
    if (data == nullptr || size < kCommonHeaderSize || size % 4 != 0) return false;
    size_t offset = 0;
    while (offset < size) {
        const uint8_t* packet = data + offset;
        size_t remaining = size - offset;
        if (remaining < kCommonHeaderSize) return false;
        unsigned version = packet[0] >> 6;
        bool padding = (packet[0] & 0x20) != 0;
        unsigned count = packet[0] & 0x1F;
        uint8_t type = packet[1];
        size_t length = (static_cast<size_t>((packet[2] << 8) | packet[3]) + 1) * 4;
        if (version != 2 || length > remaining) return false;
        if (info.numPackets == 0 && (padding || (type != RTCP_PT_SR && type != RTCP_PT_RR))) return false;
        size_t body = length;
        if (padding) {
            // Only the last packet may be padded; the count is in its last byte.
            if (offset + length != size) return false;
            uint8_t padBytes = packet[length - 1];
            if (padBytes == 0 || padBytes > length - kCommonHeaderSize) return false;
            body = length - padBytes;
        }
        if (!notePacket(type, count, packet, body, info)) return false;
        ++info.numPackets;
        offset += length;
    }
    return true;
}
