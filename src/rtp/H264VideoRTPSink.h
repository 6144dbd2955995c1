// RTP sink for H.264 NAL units from an H264VideoStreamDiscreteFramer.
#pragma once

#include "rtp/H264or5VideoRTPSink.h"

class H264VideoRTPSink : public H264or5VideoRTPSink {
public:
    // The parameter sets are copied; they seed the a=fmtp line.
    static H264VideoRTPSink* createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                       unsigned char rtpPayloadFormat, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize);

protected:
    H264VideoRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadFormat,
                     const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize);
};
