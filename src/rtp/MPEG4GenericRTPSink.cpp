#include "rtp/MPEG4GenericRTPSink.h"

#include <strings.h>

#include <cstdio>
#include <new>

namespace {

constexpr unsigned kMaxAccessUnitSize = (1u << 13) - 1;  // sizelength=13

}  // namespace

MPEG4GenericRTPSink* MPEG4GenericRTPSink::createNew(UsageEnvironment& env, Groupsock* rtpGS,
                                                    unsigned char rtpPayloadFormat,
                                                    unsigned rtpTimestampFrequency,
                                                    const char* sdpMediaTypeString,
                                                    const char* mpeg4Mode, const char* configString,
                                                    unsigned numChannels) {
    if (mpeg4Mode == nullptr || strcasecmp(mpeg4Mode, "AAC-hbr") != 0) {
        env.setResultMsg("MPEG4GenericRTPSink: only the \"AAC-hbr\" mode is supported");
        return nullptr;
    }
    MPEG4GenericRTPSink* sink = new (std::nothrow)
        MPEG4GenericRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString,
                            configString, numChannels);
    if (sink != nullptr && !sink->valid()) {
        Medium::close(sink);
        return nullptr;
    }
    return sink;
}

MPEG4GenericRTPSink::MPEG4GenericRTPSink(UsageEnvironment& env, Groupsock* rtpGS,
                                         unsigned char rtpPayloadFormat,
                                         unsigned rtpTimestampFrequency,
                                         const char* sdpMediaTypeString, const char* configString,
                                         unsigned numChannels)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, "MPEG4-GENERIC",
                         numChannels),
      fSDPMediaTypeString(sdpMediaTypeString == nullptr ? "audio" : sdpMediaTypeString) {
    char line[300];
    snprintf(line, sizeof line,
             "a=fmtp:%d streamtype=5;profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;"
             "indexdeltalength=3;config=%s\r\n",
             rtpPayloadType(), configString == nullptr ? "" : configString);
    fFmtpSDPLine = line;
}

void MPEG4GenericRTPSink::packFrame(const uint8_t* frame, unsigned size,
                                    struct timeval presentationTime) {
    if (size > kMaxAccessUnitSize) {
        // Its size does not fit the 13-bit AU-size field.
        char text[120];
        snprintf(text, sizeof text, "MPEG4GenericRTPSink: access unit of %u bytes dropped (at most %u)\n",
                 size, kMaxAccessUnitSize);
        envir() << text;
        return;
    }
    MultiFramedRTPSink::packFrame(frame, size, presentationTime);
}

unsigned MPEG4GenericRTPSink::framePrefix(uint8_t* out, unsigned frameSize) const {
    out[0] = 0;
    out[1] = 16;  // AU-headers-length in bits: one header
    out[2] = static_cast<uint8_t>(frameSize >> 5);
    out[3] = static_cast<uint8_t>((frameSize & 0x1F) << 3);  // AU-index 0
    return 4;
}
