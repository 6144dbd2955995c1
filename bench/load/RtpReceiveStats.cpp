#include "RtpReceiveStats.h"

namespace {

uint32_t word(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

constexpr uint64_t kNtpToUnixSeconds = 2208988800u;

}  // namespace

bool RtpReceiveStats::notePacket(const uint8_t* data, size_t size) {
    if (size < 12 || (data[0] >> 6) != 2) return false;
    uint16_t seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
    uint32_t ssrc = word(data + 8);
    fLastMarker = (data[1] & 0x80) != 0;
    fLastTimestamp = word(data + 4);
    if (!fStarted || ssrc != fSsrc) {
        // A new source starts a new count; what was expected before stays.
        fPriorExpected = expected();
        fStarted = true;
        fSsrc = ssrc;
        fBaseSeq = seq;
        fMaxSeq = seq;
        fCycles = 0;
        ++fReceived;
        return true;
    }
    ++fReceived;
    uint16_t delta = static_cast<uint16_t>(seq - fMaxSeq);
    if (delta == 0 || delta >= 0x8000) {
        ++fReordered;  // duplicate or late
        return true;
    }
    if (delta > 1) ++fGapEvents;
    if (seq < fMaxSeq) fCycles += 65536;
    fMaxSeq = seq;
    return true;
}

void RtpReceiveStats::noteRtcp(const uint8_t* data, size_t size) {
    size_t offset = 0;
    while (offset + 4 <= size) {
        const uint8_t* packet = data + offset;
        if ((packet[0] >> 6) != 2) return;
        size_t length = (static_cast<size_t>((packet[2] << 8) | packet[3]) + 1) * 4;
        if (offset + length > size) return;
        if (packet[1] == 200 && length >= 28) {
            uint64_t seconds = word(packet + 8);
            uint64_t fraction = word(packet + 12);
            fReportWallUs = static_cast<int64_t>((seconds - kNtpToUnixSeconds) * 1000000 + ((fraction * 1000000) >> 32));
            fReportRtp = word(packet + 16);
            fHaveReport = true;
            ++fReports;
        }
        offset += length;
    }
}

bool RtpReceiveStats::senderWallUs(uint32_t rtpTime, int64_t& wallUs) const {
    if (!fHaveReport || fClockRate == 0) return false;
    int32_t ticks = static_cast<int32_t>(rtpTime - fReportRtp);
    wallUs = fReportWallUs + static_cast<int64_t>(ticks) * 1000000 / fClockRate;
    return true;
}
