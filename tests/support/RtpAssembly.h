// What a receiver makes of the RTP packets of one track: H.264/H.265 NAL
// units from single-unit and fragmentation-unit packets (RFC 6184, RFC 7798),
// AAC access units behind their AU headers (RFC 3640, AAC-hbr), or the byte
// stream of G.711/G.726 packets. Every fault (a sequence gap, a fragment out
// of place, a malformed header) is kept as an error text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MediaStreams.h"

struct RtpPacket {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    Bytes payload;
};

// Version 2, padding and CSRCs handled; false for anything shorter or other.
bool parseRtpPacket(const uint8_t* data, size_t size, RtpPacket& packet);

struct ReceivedUnit {
    Bytes data;
    uint32_t timestamp = 0;
    bool marker = false;  // on the packet that completed the unit
};

class TrackAssembly {
public:
    enum class Format { H264, H265, Aac, RawAudio };
    explicit TrackAssembly(Format format) : fFormat(format) {}
    static Format formatOf(StreamKind kind);

    void add(const RtpPacket& packet);
    // Datagram or interleaved frame; non-RTP data is an error.
    void addRaw(const uint8_t* data, size_t size);

    // Video: NAL units; AAC: access units; raw audio: one unit per packet.
    const std::vector<ReceivedUnit>& units() const { return fUnits; }
    // Raw audio: all payload bytes in order.
    const Bytes& bytes() const { return fBytes; }
    const std::string& error() const { return fError; }
    size_t packets() const { return fPackets; }
    uint8_t payloadType() const { return fPayloadType; }
    Format format() const { return fFormat; }

private:
    void fail(const std::string& text);
    void addNal(const RtpPacket& packet);
    void addFragment(const RtpPacket& packet, size_t headerSize, uint8_t fuHeader,
                     const Bytes& nalHeader);
    void addAac(const RtpPacket& packet);

    Format fFormat;
    std::vector<ReceivedUnit> fUnits;
    Bytes fBytes;
    std::string fError;
    size_t fPackets = 0;
    uint8_t fPayloadType = 0;
    bool fHaveSeq = false;
    uint16_t fNextSeq = 0;
    // The unit being reassembled from fragments.
    bool fInFragment = false;
    Bytes fFragment;
    size_t fFragmentTarget = 0;  // AAC: the AU size its header announced
    uint32_t fFragmentTimestamp = 0;
};
