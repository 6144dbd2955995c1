// RTP sink for payload formats that need no header of their own (G.711,
// G.726): frames go as they are, several per packet when allowed.
#pragma once

#include <string>

#include "rtp/MultiFramedRTPSink.h"

class SimpleRTPSink : public MultiFramedRTPSink {
public:
    // doNormalMBitRule: marker bit on the packet that ends a frame, except
    // for "audio", which gets none.
    static SimpleRTPSink* createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                    unsigned char rtpPayloadFormat, unsigned rtpTimestampFrequency,
                                    const char* sdpMediaTypeString, const char* rtpPayloadFormatName,
                                    unsigned numChannels = 1,
                                    bool allowMultipleFramesPerPacket = true,
                                    bool doNormalMBitRule = true);

    const char* sdpMediaType() const override { return fSDPMediaTypeString.c_str(); }

protected:
    SimpleRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadFormat,
                  unsigned rtpTimestampFrequency, const char* sdpMediaTypeString,
                  const char* rtpPayloadFormatName, unsigned numChannels,
                  bool allowMultipleFramesPerPacket, bool doNormalMBitRule);

    bool allowMultipleFramesPerPacket() const override { return fAllowMultipleFramesPerPacket; }
    bool markerOnFrameEnd() const override { return fSetMBitOnLastFrames; }

private:
    std::string fSDPMediaTypeString;
    bool fAllowMultipleFramesPerPacket;
    bool fSetMBitOnLastFrames;
};
