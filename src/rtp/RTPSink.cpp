#include "rtp/RTPSink.h"

#include <cstdio>

#include "log/Log.h"
#include "rtp/RtpRandom.h"

RTPSink::RTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadType,
                 unsigned rtpTimestampFrequency, const char* rtpPayloadFormatName,
                 unsigned numChannels)
    : MediaSink(env),
      fRTPInterface(this, rtpGS),
      fRTPPayloadType(rtpPayloadType & 0x7F),
      fTimestampFrequency(rtpTimestampFrequency == 0 ? 90000 : rtpTimestampFrequency),
      fRTPPayloadFormatName(rtpPayloadFormatName == nullptr ? "" : rtpPayloadFormatName),
      fNumChannels(numChannels == 0 ? 1 : numChannels),
      fSSRC(rtpRandom32()),
      fSeqNo(static_cast<uint16_t>(rtpRandom32())),
      fTimestampBase(rtpRandom32()) {}

RTPSink::~RTPSink() = default;

std::string RTPSink::rtpmapLine() const {
    if (fRTPPayloadType < 96) return std::string();
    char channels[16] = "";
    if (fNumChannels != 1) snprintf(channels, sizeof channels, "/%u", fNumChannels);
    char line[200];
    snprintf(line, sizeof line, "a=rtpmap:%d %s/%d%s\r\n", fRTPPayloadType,
             fRTPPayloadFormatName.c_str(), static_cast<int>(fTimestampFrequency), channels);
    return line;
}

uint32_t RTPSink::convertToRTPTimestamp(struct timeval tv) const {
    // Modulo 2^32 throughout: only differences of RTP times matter.
    uint64_t ticks = static_cast<uint64_t>(tv.tv_sec) * fTimestampFrequency +
                     (static_cast<uint64_t>(tv.tv_usec) * fTimestampFrequency + 500000) / 1000000;
    return fTimestampBase + static_cast<uint32_t>(ticks);
}

uint32_t RTPSink::presetNextTimestamp() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint32_t tsNow = convertToRTPTimestamp(now);
    // Once packets are out (possibly to other clients), the timeline stays.
    if (fPacketCount == 0) {
        fNextTimestampHasBeenPreset = true;
        fPresetTimestamp = tsNow;
    }
    return tsNow;
}

uint32_t RTPSink::timestampForPacket(struct timeval presentationTime) {
    uint32_t timestamp = convertToRTPTimestamp(presentationTime);
    if (fNextTimestampHasBeenPreset) {
        fTimestampBase += fPresetTimestamp - timestamp;
        timestamp = fPresetTimestamp;
        fNextTimestampHasBeenPreset = false;
    }
    return timestamp;
}

void RTPSink::notePacketSent(unsigned payloadSize) {
    ++fPacketCount;
    fOctetCount += payloadSize;
    fTotalOctetCount += payloadSize;
}

void RTPSink::reportSendError() {
    Log_Write(LOG_ERROR, "sendPacket failed！！！！\n");
    // Last: the function may close this sink.
    if (fOnSendErrorFunc != nullptr) fOnSendErrorFunc(fOnSendErrorData);
}
