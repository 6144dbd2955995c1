// Turns an access unit into H.264 RTP packets (RFC 6184: single NAL unit
// packets, FU-A beyond one packet) of at most 1456 bytes, like the library's
// sink; the last packet of the access unit carries the marker bit. The
// packets are laid out back to back in one buffer, also as '$'-framed
// interleaved bytes for TCP.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "StreamFile.h"

class RtpPacketizer {
public:
    static constexpr size_t kMaxPacket = 1456;

    RtpPacketizer(uint32_t ssrc, uint8_t payloadType) : fSsrc(ssrc), fPayloadType(payloadType) {}

    // Builds the packets of `au`; they stay valid until the next build.
    void build(const AccessUnit& au, uint32_t timestamp);
    const std::vector<iovec>& packets() const { return fPackets; }
    // The same packets framed for interleaved channel 0 (framed on first use).
    const std::vector<uint8_t>& interleaved();

    uint32_t ssrc() const { return fSsrc; }
    uint32_t packetCount() const { return fPacketCount; }
    uint32_t octetCount() const { return fOctetCount; }

private:
    size_t bytesNeeded(const AccessUnit& au) const;
    uint8_t* putHeader(uint8_t* out, bool marker, uint32_t timestamp);
    uint8_t* putUnit(uint8_t* out, ByteSpan unit, bool lastUnit, uint32_t timestamp);

    uint32_t fSsrc;
    uint8_t fPayloadType;
    uint16_t fSequence = 0;
    uint32_t fPacketCount = 0;
    uint32_t fOctetCount = 0;
    std::vector<uint8_t> fBuffer;
    std::vector<iovec> fPackets;
    std::vector<uint8_t> fInterleaved;
    bool fInterleavedStale = true;
};
