// RTP sink for H.265 NAL units from an H265VideoStreamDiscreteFramer.
#pragma once

#include "rtp/H264or5VideoRTPSink.h"

class H265VideoRTPSink : public H264or5VideoRTPSink {
public:
    // The parameter sets are copied; they seed the a=fmtp line.
    static H265VideoRTPSink* createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                       unsigned char rtpPayloadFormat, const uint8_t* vps, unsigned vpsSize, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize);

protected:
    H265VideoRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadFormat,
                     const uint8_t* vps, unsigned vpsSize, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize);
};
