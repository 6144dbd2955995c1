// An RTP sink that turns the frames of its source into packets of at most
// 1456 bytes: several small frames per packet where the payload format allows
// it, a large frame fragmented over several packets. Sending is unpaced: as
// soon as a frame is packetized the next one is asked for, in a loop, until
// the source answers later (or ends). The packets of that burst then leave
// together (one sendmmsg per UDP destination, batched writes over TCP) before
// control returns to the event loop.
#pragma once

#include "rtp/OutPacketBuffer.h"
#include "rtp/RTPSink.h"

class MultiFramedRTPSink : public RTPSink {
public:
    static constexpr unsigned kRTPHeaderSize = 12;
    static constexpr unsigned kPreferredPacketSize = 1000;

    void stopPlaying() override;
    unsigned maxPacketSize() const { return fOutBuf->maxPacketSize(); }

protected:
    MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadType,
                       unsigned rtpTimestampFrequency, const char* rtpPayloadFormatName,
                       unsigned numChannels = 1);
    ~MultiFramedRTPSink() override;

    // Whether construction got its buffers (createNew returns null otherwise).
    bool valid() const { return fOutBuf != nullptr && fOutBuf->valid() && fRTPInterface.valid(); }

    // Turns one frame (in the frame area, valid until the burst is sent) into
    // packets. The default packs frames by the hooks below.
    virtual void packFrame(const uint8_t* frame, unsigned size, struct timeval presentationTime);
    virtual bool allowMultipleFramesPerPacket() const { return false; }
    // Bytes that precede the payload in every packet of a frame (at most 4).
    virtual unsigned framePrefix(uint8_t* out, unsigned frameSize) const;
    // Marker bit on the packet that ends a frame.
    virtual bool markerOnFrameEnd() const { return false; }

    // Queues one packet: RTP header, prefix, payload.
    void emitPacket(const uint8_t* prefix, unsigned prefixSize, const uint8_t* payload,
                    unsigned payloadSize, bool marker, uint32_t timestamp);
    unsigned maxPayloadSize() const { return fOutBuf->maxPacketSize() - kRTPHeaderSize; }

private:
    bool continuePlaying() override;
    void onSourceClosure() override;

    void runBurst();
    void requestNextFrame();
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  struct timeval presentationTime, unsigned durationInMicroseconds);
    void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                            struct timeval presentationTime);
    void packAudioStyle(const uint8_t* frame, unsigned size, struct timeval presentationTime);
    void emitPendingPacket();
    void flushInterface();
    void endBurst();

    OutPacketBuffer* fOutBuf;
    bool fBurstActive = false;
    bool fAnotherFrameWanted = false;
    bool fSendFailed = false;
    bool* fAliveFlag = nullptr;  // cleared by the destructor during a burst
    // The packet being filled with several frames.
    const uint8_t* fPendingPayload = nullptr;
    unsigned fPendingSize = 0;
    uint32_t fPendingTimestamp = 0;
};
