// Base of the RTP sinks: payload type and clock, SSRC, sequence numbers,
// RTP timestamps from presentation times, counters for RTCP, SDP lines, and
// the interface that carries the packets.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "rtp/MediaSink.h"
#include "rtp/RTPInterface.h"

class RTPSink : public MediaSink {
public:
    typedef void onSendErrorFunc(void* clientData);

    Groupsock* groupsockBeingUsed() const { return fRTPInterface.gs(); }
    RTPInterface& rtpInterface() { return fRTPInterface; }

    unsigned char rtpPayloadType() const { return fRTPPayloadType; }
    unsigned rtpTimestampFrequency() const { return fTimestampFrequency; }
    const char* rtpPayloadFormatName() const { return fRTPPayloadFormatName.c_str(); }
    unsigned numChannels() const { return fNumChannels; }

    // "a=rtpmap:..." for a dynamic payload type; empty for a static one (< 96).
    std::string rtpmapLine() const;
    virtual const char* sdpMediaType() const { return "data"; }
    // The a=fmtp line (owned by the sink, valid until the next call), or null.
    virtual const char* auxSDPLine() { return nullptr; }

    uint32_t SSRC() const { return fSSRC; }
    uint16_t currentSeqNo() const { return fSeqNo; }
    // RTP time of `tv` on this sink's clock.
    uint32_t convertToRTPTimestamp(struct timeval tv) const;
    // The RTP time of now; before the first packet, also makes the first
    // packet carry it. Returns that timestamp.
    uint32_t presetNextTimestamp();

    // For RTCP sender reports.
    uint32_t packetCount() const { return fPacketCount; }
    uint32_t octetCount() const { return fOctetCount; }
    uint64_t totalOctetCount() const { return fTotalOctetCount; }

    bool addStreamSocket(int socketNum, uint8_t channelId) {
        return fRTPInterface.addStreamSocket(socketNum, channelId);
    }
    void removeStreamSocket(int socketNum, uint8_t channelId) {
        fRTPInterface.removeStreamSocket(socketNum, channelId);
    }
    // Called after a burst in which a UDP send failed.
    void setOnSendErrorFunc(onSendErrorFunc* func, void* clientData) {
        fOnSendErrorFunc = func;
        fOnSendErrorData = clientData;
    }

protected:
    RTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadType,
            unsigned rtpTimestampFrequency, const char* rtpPayloadFormatName, unsigned numChannels);
    ~RTPSink() override;

    // The timestamp of a packet whose frame has this presentation time.
    uint32_t timestampForPacket(struct timeval presentationTime);
    // Counts one packet with `payloadSize` octets after the fixed header.
    void notePacketSent(unsigned payloadSize);
    uint16_t takeSeqNo() { return fSeqNo++; }
    void reportSendError();

    RTPInterface fRTPInterface;

private:
    unsigned char fRTPPayloadType;
    unsigned fTimestampFrequency;
    std::string fRTPPayloadFormatName;
    unsigned fNumChannels;
    uint32_t fSSRC;
    uint16_t fSeqNo;
    uint32_t fTimestampBase;
    bool fNextTimestampHasBeenPreset = false;
    uint32_t fPresetTimestamp = 0;
    uint32_t fPacketCount = 0;
    uint32_t fOctetCount = 0;
    uint64_t fTotalOctetCount = 0;
    onSendErrorFunc* fOnSendErrorFunc = nullptr;
    void* fOnSendErrorData = nullptr;
};
