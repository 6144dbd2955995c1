#include "rtp/H265VideoRTPSink.h"

#include <new>

H265VideoRTPSink* H265VideoRTPSink::createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                              unsigned char rtpPayloadFormat, const uint8_t* vps, unsigned vpsSize, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize) {
    H265VideoRTPSink* sink =
        new (std::nothrow) H265VideoRTPSink(env, rtpGS, rtpPayloadFormat, vps, vpsSize, sps, spsSize, pps, ppsSize);
    if (sink != nullptr && !sink->valid()) {
        Medium::close(sink);
        return nullptr;
    }
    return sink;
}

H265VideoRTPSink::H265VideoRTPSink(UsageEnvironment& env, Groupsock* rtpGS,
                                   unsigned char rtpPayloadFormat, const uint8_t* vps, unsigned vpsSize, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize)
    : H264or5VideoRTPSink(265, env, rtpGS, rtpPayloadFormat, vps, vpsSize, sps, spsSize, pps, ppsSize) {}
