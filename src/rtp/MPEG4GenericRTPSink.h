// RTP sink for AAC in the RFC 3640 "AAC-hbr" mode: one access unit per
// packet behind an AU-headers section of one 16-bit AU header (13-bit size,
// 3-bit index); a larger unit is fragmented, each fragment with the header.
#pragma once

#include <string>

#include "rtp/MultiFramedRTPSink.h"

class MPEG4GenericRTPSink : public MultiFramedRTPSink {
public:
    // Null for a mode other than "AAC-hbr".
    static MPEG4GenericRTPSink* createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                          unsigned char rtpPayloadFormat,
                                          unsigned rtpTimestampFrequency,
                                          const char* sdpMediaTypeString, const char* mpeg4Mode,
                                          const char* configString, unsigned numChannels = 1);

    const char* sdpMediaType() const override { return fSDPMediaTypeString.c_str(); }
    const char* auxSDPLine() override { return fFmtpSDPLine.c_str(); }

protected:
    MPEG4GenericRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadFormat,
                        unsigned rtpTimestampFrequency, const char* sdpMediaTypeString,
                        const char* configString, unsigned numChannels);

    void packFrame(const uint8_t* frame, unsigned size, struct timeval presentationTime) override;
    unsigned framePrefix(uint8_t* out, unsigned frameSize) const override;
    // RFC 3640: M is set on a packet with a complete unit or a unit's last fragment.
    bool markerOnFrameEnd() const override { return true; }

private:
    std::string fSDPMediaTypeString;
    std::string fFmtpSDPLine;
};
