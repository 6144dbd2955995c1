#include "rtp/H264or5VideoRTPSink.h"

#include <cstdio>
#include <new>

#include "rtp/Base64.h"

namespace {

const std::vector<uint8_t> kNoSet;

// The RBSP of a NAL unit: emulation-prevention bytes (00 00 03) removed.
std::vector<uint8_t> withoutEmulationPrevention(const std::vector<uint8_t>& nal) {
    std::vector<uint8_t> out;
    out.reserve(nal.size());
    unsigned zeros = 0;
    for (uint8_t byte : nal) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    return out;
}

}  // namespace

H264or5VideoRTPSink::H264or5VideoRTPSink(int hNumber, UsageEnvironment& env, Groupsock* rtpGS,
                                         unsigned char rtpPayloadType, const uint8_t* vps,
                                         unsigned vpsSize, const uint8_t* sps, unsigned spsSize,
                                         const uint8_t* pps, unsigned ppsSize)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadType, 90000, hNumber == 264 ? "H264" : "H265"),
      fHNumber(hNumber) {
    copySet(fVPS, vps, vpsSize);
    copySet(fSPS, sps, spsSize);
    copySet(fPPS, pps, ppsSize);
}

void H264or5VideoRTPSink::copySet(std::vector<uint8_t>& set, const uint8_t* data, unsigned size) {
    if (data == nullptr || size == 0) return;
    try {
        set.assign(data, data + size);
    } catch (const std::bad_alloc&) {
        set.clear();
    }
}

bool H264or5VideoRTPSink::sourceIsCompatibleWithUs(MediaSource& source) {
    return fHNumber == 264 ? source.isH264VideoStreamFramer() : source.isH265VideoStreamFramer();
}

H264or5VideoStreamDiscreteFramer* H264or5VideoRTPSink::framer() const {
    // startPlaying admits only our framer as source.
    return static_cast<H264or5VideoStreamDiscreteFramer*>(fSource);
}

const std::vector<uint8_t>& H264or5VideoRTPSink::vps() const {
    if (!fVPS.empty() || fHNumber == 264) return fVPS;
    return framer() != nullptr ? framer()->lastVPS() : kNoSet;
}

const std::vector<uint8_t>& H264or5VideoRTPSink::sps() const {
    if (!fSPS.empty()) return fSPS;
    return framer() != nullptr ? framer()->lastSPS() : kNoSet;
}

const std::vector<uint8_t>& H264or5VideoRTPSink::pps() const {
    if (!fPPS.empty()) return fPPS;
    return framer() != nullptr ? framer()->lastPPS() : kNoSet;
}

void H264or5VideoRTPSink::packFrame(const uint8_t* nal, unsigned size,
                                    struct timeval presentationTime) {
    bool endsAccessUnit = framer() != nullptr && framer()->pictureEndMarker();
    uint32_t timestamp = timestampForPacket(presentationTime);
    unsigned room = maxPayloadSize();
    if (size <= room) {
        emitPacket(nullptr, 0, nal, size, endsAccessUnit, timestamp);
        return;
    }
    // Fragmentation units: the NAL header travels in the FU indicator/header.
    uint8_t prefix[3];
    unsigned prefixSize;
    unsigned headerSize;
    uint8_t nalType;
    if (fHNumber == 264) {
        nalType = nal[0] & 0x1F;
        prefix[0] = static_cast<uint8_t>((nal[0] & 0xE0) | 28);  // FU-A indicator
        prefixSize = 2;
        headerSize = 1;
    } else {
        nalType = (nal[0] >> 1) & 0x3F;
        prefix[0] = static_cast<uint8_t>((nal[0] & 0x81) | (49 << 1));  // FU payload header
        prefix[1] = nal[1];
        prefixSize = 3;
        headerSize = 2;
    }
    unsigned chunkRoom = room - prefixSize;
    for (unsigned offset = headerSize; offset < size; offset += chunkRoom) {
        unsigned chunk = size - offset < chunkRoom ? size - offset : chunkRoom;
        bool first = offset == headerSize;
        bool last = offset + chunk == size;
        prefix[prefixSize - 1] =
            static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | nalType);
        emitPacket(prefix, prefixSize, nal + offset, chunk, last && endsAccessUnit, timestamp);
    }
}

const char* H264or5VideoRTPSink::auxSDPLine() {
    try {
        bool built = fHNumber == 264 ? buildH264Line(fFmtpSDPLine) : buildH265Line(fFmtpSDPLine);
        return built ? fFmtpSDPLine.c_str() : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool H264or5VideoRTPSink::buildH264Line(std::string& line) const {
    const std::vector<uint8_t>& spsSet = sps();
    const std::vector<uint8_t>& ppsSet = pps();
    if (spsSet.empty() || ppsSet.empty()) return false;
    std::vector<uint8_t> rbsp = withoutEmulationPrevention(spsSet);
    if (rbsp.size() < 4) return false;
    unsigned profileLevelId = (rbsp[1] << 16) | (rbsp[2] << 8) | rbsp[3];
    std::string spsText = base64Encode(spsSet.data(), spsSet.size());
    std::string ppsText = base64Encode(ppsSet.data(), ppsSet.size());
    std::vector<char> text(spsText.size() + ppsText.size() + 128);
    snprintf(text.data(), text.size(),
             "a=fmtp:%d packetization-mode=1;profile-level-id=%06X;sprop-parameter-sets=%s,%s\r\n",
             rtpPayloadType(), profileLevelId, spsText.c_str(), ppsText.c_str());
    line = text.data();
    return true;
}

bool H264or5VideoRTPSink::buildH265Line(std::string& line) const {
    const std::vector<uint8_t>& vpsSet = vps();
    const std::vector<uint8_t>& spsSet = sps();
    const std::vector<uint8_t>& ppsSet = pps();
    if (vpsSet.empty() || spsSet.empty() || ppsSet.empty()) return false;
    std::vector<uint8_t> rbsp = withoutEmulationPrevention(vpsSet);
    if (rbsp.size() < 18) return false;
    // profile_tier_level follows the 2-byte NAL header and 4 bytes of VPS fields.
    const uint8_t* ptl = &rbsp[6];
    unsigned profileSpace = ptl[0] >> 6;
    unsigned tierFlag = (ptl[0] >> 5) & 1;
    unsigned profileId = ptl[0] & 0x1F;
    char interop[13];
    snprintf(interop, sizeof interop, "%02X%02X%02X%02X%02X%02X", ptl[5], ptl[6], ptl[7], ptl[8],
             ptl[9], ptl[10]);
    unsigned levelId = ptl[11];
    std::string vpsText = base64Encode(vpsSet.data(), vpsSet.size());
    std::string spsText = base64Encode(spsSet.data(), spsSet.size());
    std::string ppsText = base64Encode(ppsSet.data(), ppsSet.size());
    std::vector<char> text(vpsText.size() + spsText.size() + ppsText.size() + 256);
    snprintf(text.data(), text.size(),
             "a=fmtp:%d profile-space=%u;profile-id=%u;tier-flag=%u;level-id=%u;"
             "interop-constraints=%s;sprop-vps=%s;sprop-sps=%s;sprop-pps=%s\r\n",
             rtpPayloadType(), profileSpace, profileId, tierFlag, levelId, interop, vpsText.c_str(),
             spsText.c_str(), ppsText.c_str());
    line = text.data();
    return true;
}
