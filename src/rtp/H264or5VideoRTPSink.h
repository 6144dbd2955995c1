// Common part of the H.264 (RFC 6184, packetization-mode 1) and H.265
// (RFC 7798) sinks: a NAL unit that fits one packet goes as a single NAL unit
// packet, a larger one as fragmentation units (FU-A / FU) cut in place from
// the frame area, which holds one NAL unit of up to OutPacketBuffer::maxSize
// bytes. The marker bit is set on the last packet of a NAL unit that the
// framer reports as ending an access unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtp/H264or5VideoStreamDiscreteFramer.h"
#include "rtp/MultiFramedRTPSink.h"

class H264or5VideoRTPSink : public MultiFramedRTPSink {
public:
    const char* sdpMediaType() const override { return "video"; }
    const char* auxSDPLine() override;

    // Parameter sets: those given at creation, else the framer's last ones.
    const std::vector<uint8_t>& vps() const;
    const std::vector<uint8_t>& sps() const;
    const std::vector<uint8_t>& pps() const;

protected:
    H264or5VideoRTPSink(int hNumber, UsageEnvironment& env, Groupsock* rtpGS,
                        unsigned char rtpPayloadType, const uint8_t* vps, unsigned vpsSize,
                        const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize);

    bool sourceIsCompatibleWithUs(MediaSource& source) override;
    void packFrame(const uint8_t* frame, unsigned size, struct timeval presentationTime) override;

private:
    H264or5VideoStreamDiscreteFramer* framer() const;
    bool buildH264Line(std::string& line) const;
    bool buildH265Line(std::string& line) const;
    static void copySet(std::vector<uint8_t>& set, const uint8_t* data, unsigned size);

    int fHNumber;
    std::vector<uint8_t> fVPS, fSPS, fPPS;
    std::string fFmtpSDPLine;
};
