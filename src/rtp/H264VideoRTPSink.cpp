#include "rtp/H264VideoRTPSink.h"

#include <new>

H264VideoRTPSink* H264VideoRTPSink::createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                              unsigned char rtpPayloadFormat, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize) {
    H264VideoRTPSink* sink =
        new (std::nothrow) H264VideoRTPSink(env, rtpGS, rtpPayloadFormat, sps, spsSize, pps, ppsSize);
    if (sink != nullptr && !sink->valid()) {
        Medium::close(sink);
        return nullptr;
    }
    return sink;
}

H264VideoRTPSink::H264VideoRTPSink(UsageEnvironment& env, Groupsock* rtpGS,
                                   unsigned char rtpPayloadFormat, const uint8_t* sps, unsigned spsSize, const uint8_t* pps, unsigned ppsSize)
    : H264or5VideoRTPSink(264, env, rtpGS, rtpPayloadFormat, nullptr, 0, sps, spsSize, pps, ppsSize) {}
