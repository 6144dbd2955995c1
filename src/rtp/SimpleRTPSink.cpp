#include "rtp/SimpleRTPSink.h"

#include <cstring>
#include <new>

SimpleRTPSink* SimpleRTPSink::createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                        unsigned char rtpPayloadFormat,
                                        unsigned rtpTimestampFrequency,
                                        const char* sdpMediaTypeString,
                                        const char* rtpPayloadFormatName, unsigned numChannels,
                                        bool allowMultipleFramesPerPacket, bool doNormalMBitRule) {
    SimpleRTPSink* sink = new (std::nothrow)
        SimpleRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString,
                      rtpPayloadFormatName, numChannels, allowMultipleFramesPerPacket, doNormalMBitRule);
    if (sink != nullptr && !sink->valid()) {
        Medium::close(sink);
        return nullptr;
    }
    return sink;
}

SimpleRTPSink::SimpleRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadFormat,
                             unsigned rtpTimestampFrequency, const char* sdpMediaTypeString,
                             const char* rtpPayloadFormatName, unsigned numChannels,
                             bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, rtpPayloadFormatName,
                         numChannels),
      fSDPMediaTypeString(sdpMediaTypeString == nullptr ? "unknown" : sdpMediaTypeString),
      fAllowMultipleFramesPerPacket(allowMultipleFramesPerPacket),
      fSetMBitOnLastFrames(doNormalMBitRule && fSDPMediaTypeString != "audio") {}
