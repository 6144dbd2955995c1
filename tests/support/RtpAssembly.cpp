#include "RtpAssembly.h"

bool parseRtpPacket(const uint8_t* data, size_t size, RtpPacket& packet) {
    if (size < 12 || (data[0] >> 6) != 2) return false;
    size_t header = 12 + 4u * (data[0] & 0x0F);
    if (data[0] & 0x10) {  // extension
        if (size < header + 4) return false;
        header += 4 + 4u * ((data[header + 2] << 8) | data[header + 3]);
    }
    size_t end = size;
    if (data[0] & 0x20) {  // padding
        if (data[size - 1] == 0 || data[size - 1] > size) return false;
        end -= data[size - 1];
    }
    if (header > end) return false;
    packet.marker = (data[1] & 0x80) != 0;
    packet.payloadType = data[1] & 0x7F;
    packet.seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
    packet.timestamp = (uint32_t{data[4]} << 24) | (uint32_t{data[5]} << 16) | (uint32_t{data[6]} << 8) | data[7];
    packet.ssrc = (uint32_t{data[8]} << 24) | (uint32_t{data[9]} << 16) | (uint32_t{data[10]} << 8) | data[11];
    packet.payload.assign(data + header, data + end);
    return true;
}

TrackAssembly::Format TrackAssembly::formatOf(StreamKind kind) {
    switch (kind) {
        case StreamKind::H264: return Format::H264;
        case StreamKind::H265: return Format::H265;
        case StreamKind::AAC: return Format::Aac;
        default: return Format::RawAudio;
    }
}

void TrackAssembly::fail(const std::string& text) {
    if (fError.empty()) fError = text + " (packet " + std::to_string(fPackets) + ")";
}

void TrackAssembly::addRaw(const uint8_t* data, size_t size) {
    RtpPacket packet;
    if (!parseRtpPacket(data, size, packet)) {
        fail("not an RTP packet");
        return;
    }
    add(packet);
}

void TrackAssembly::add(const RtpPacket& packet) {
    ++fPackets;
    if (fHaveSeq && packet.seq != fNextSeq) fail("sequence gap");
    if (fHaveSeq && packet.payloadType != fPayloadType) fail("payload type changed");
    fHaveSeq = true;
    fNextSeq = static_cast<uint16_t>(packet.seq + 1);
    fPayloadType = packet.payloadType;
    switch (fFormat) {
        case Format::H264:
        case Format::H265: addNal(packet); break;
        case Format::Aac: addAac(packet); break;
        case Format::RawAudio:
            fBytes.insert(fBytes.end(), packet.payload.begin(), packet.payload.end());
            fUnits.push_back({packet.payload, packet.timestamp, packet.marker});
            break;
    }
}

void TrackAssembly::addNal(const RtpPacket& packet) {
    const Bytes& p = packet.payload;
    bool h264 = fFormat == Format::H264;
    size_t nalHeaderSize = h264 ? 1 : 2;
    if (p.size() < nalHeaderSize) return fail("empty payload");
    unsigned type = h264 ? (p[0] & 0x1F) : ((p[0] >> 1) & 0x3F);
    unsigned fuType = h264 ? 28 : 49;
    if (type == fuType) {
        if (p.size() < nalHeaderSize + 2) return fail("short fragmentation unit");
        uint8_t fuHeader = p[nalHeaderSize];
        unsigned original = fuHeader & (h264 ? 0x1F : 0x3F);
        Bytes nalHeader = h264 ? Bytes{static_cast<uint8_t>((p[0] & 0xE0) | original)}
                               : Bytes{static_cast<uint8_t>((p[0] & 0x81) | (original << 1)), p[1]};
        return addFragment(packet, nalHeaderSize + 1, fuHeader, nalHeader);
    }
    if (fInFragment) fail("unit started inside a fragmented unit");
    fInFragment = false;
    if ((h264 && type >= 24) || (!h264 && type >= 48)) return fail("unexpected packet type " + std::to_string(type));
    fUnits.push_back({p, packet.timestamp, packet.marker});
}

void TrackAssembly::addFragment(const RtpPacket& packet, size_t headerSize, uint8_t fuHeader,
                                const Bytes& nalHeader) {
    bool start = (fuHeader & 0x80) != 0;
    bool end = (fuHeader & 0x40) != 0;
    const Bytes& p = packet.payload;
    if (start) {
        if (fInFragment) fail("fragment start inside a fragmented unit");
        fInFragment = true;
        fFragment = nalHeader;
        fFragmentTimestamp = packet.timestamp;
    } else if (!fInFragment) {
        return fail("fragment without its start");
    } else if (packet.timestamp != fFragmentTimestamp) {
        fail("fragments with different timestamps");
    }
    if (start && end) fail("fragment both starts and ends a unit");
    if (!end && packet.marker) fail("marker before the last fragment");
    fFragment.insert(fFragment.end(), p.begin() + static_cast<long>(headerSize), p.end());
    if (!end) return;
    fInFragment = false;
    fUnits.push_back({fFragment, fFragmentTimestamp, packet.marker});
    fFragment.clear();
}

void TrackAssembly::addAac(const RtpPacket& packet) {
    const Bytes& p = packet.payload;
    if (p.size() < 2) return fail("no AU-headers-length");
    size_t headerBits = (p[0] << 8) | p[1];
    if (headerBits % 16 != 0 || headerBits == 0) return fail("AU headers not 13+3 bits each");
    size_t headerBytes = headerBits / 8;
    if (2 + headerBytes > p.size()) return fail("AU headers beyond the payload");
    std::vector<size_t> sizes;
    for (size_t i = 0; i < headerBytes; i += 2) {
        size_t size = ((p[2 + i] << 8) | p[3 + i]) >> 3;
        unsigned index = p[3 + i] & 0x07;
        if (index != 0) fail("AU-index / AU-index-delta not 0");
        sizes.push_back(size);
    }
    size_t offset = 2 + headerBytes;
    size_t available = p.size() - offset;
    if (sizes.size() == 1 && (sizes[0] > available || fInFragment)) {
        // A fragment: every fragment carries the size of the whole unit.
        if (!fInFragment) {
            fInFragment = true;
            fFragment.clear();
            fFragmentTarget = sizes[0];
            fFragmentTimestamp = packet.timestamp;
        } else if (fFragmentTarget != sizes[0] || fFragmentTimestamp != packet.timestamp) {
            fail("fragment of another access unit");
        }
        fFragment.insert(fFragment.end(), p.begin() + static_cast<long>(offset), p.end());
        if (fFragment.size() < fFragmentTarget) {
            if (packet.marker) fail("marker before the last fragment");
            return;
        }
        if (fFragment.size() > fFragmentTarget) fail("fragments longer than their access unit");
        fInFragment = false;
        fUnits.push_back({fFragment, fFragmentTimestamp, packet.marker});
        return;
    }
    for (size_t size : sizes) {
        if (offset + size > p.size()) return fail("access unit beyond the payload");
        fUnits.push_back({Bytes(p.begin() + static_cast<long>(offset), p.begin() + static_cast<long>(offset + size)),
                          packet.timestamp, packet.marker});
        offset += size;
    }
    if (offset != p.size()) fail("bytes after the last access unit");
}
