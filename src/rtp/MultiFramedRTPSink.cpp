#include "rtp/MultiFramedRTPSink.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "log/Log.h"

MultiFramedRTPSink::MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpGS,
                                       unsigned char rtpPayloadType,
                                       unsigned rtpTimestampFrequency,
                                       const char* rtpPayloadFormatName, unsigned numChannels)
    : RTPSink(env, rtpGS, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fOutBuf(new (std::nothrow) OutPacketBuffer(kPreferredPacketSize, RTPInterface::kMaxPacketSize)) {}

MultiFramedRTPSink::~MultiFramedRTPSink() {
    if (fAliveFlag != nullptr) *fAliveFlag = false;
    MultiFramedRTPSink::stopPlaying();
    delete fOutBuf;
}

bool MultiFramedRTPSink::continuePlaying() {
    runBurst();
    return true;
}

void MultiFramedRTPSink::runBurst() {
    if (fBurstActive) {
        // Called from a frame delivered inside the loop below: go round again.
        fAnotherFrameWanted = true;
        return;
    }
    bool alive = true;
    fAliveFlag = &alive;
    fBurstActive = true;
    do {
        fAnotherFrameWanted = false;
        requestNextFrame();
        if (!alive) return;  // closed by an after-playing function
    } while (fAnotherFrameWanted && fSource != nullptr);
    fBurstActive = false;
    fAliveFlag = nullptr;
    endBurst();
}

void MultiFramedRTPSink::requestNextFrame() {
    if (fSource == nullptr || fOutBuf == nullptr || fSource->isCurrentlyAwaitingData()) return;
    if (fOutBuf->needsReset()) {
        // The queued packets point into the area: send them before reusing it.
        emitPendingPacket();
        flushInterface();
        fOutBuf->reset();
    }
    // A frame gets maxFrameSize bytes whatever the burst has used so far.
    fSource->getNextFrame(fOutBuf->writePosition(), fOutBuf->maxFrameSize(), afterGettingFrame, this,
                          MediaSink::onSourceClosure, this);
}

void MultiFramedRTPSink::afterGettingFrame(void* clientData, unsigned frameSize,
                                           unsigned numTruncatedBytes,
                                           struct timeval presentationTime, unsigned) {
    static_cast<MultiFramedRTPSink*>(clientData)
        ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime);
}

void MultiFramedRTPSink::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                                            struct timeval presentationTime) {
    if (fSource == nullptr) return;  // stopped while the frame was on its way
    if (numTruncatedBytes > 0) {
        char text[200];
        snprintf(text, sizeof text,
                 "MultiFramedRTPSink: a frame of %u bytes was cut to %u bytes "
                 "(OutPacketBuffer::maxSize is %u)\n",
                 frameSize + numTruncatedBytes, frameSize, fOutBuf->maxFrameSize());
        envir() << text;
    }
    if (frameSize > fOutBuf->maxFrameSize()) frameSize = fOutBuf->maxFrameSize();
    const uint8_t* frame = fOutBuf->writePosition();
    fOutBuf->advance(frameSize);
    if (frameSize > 0) packFrame(frame, frameSize, presentationTime);
    runBurst();
}

void MultiFramedRTPSink::packFrame(const uint8_t* frame, unsigned size,
                                   struct timeval presentationTime) {
    packAudioStyle(frame, size, presentationTime);
}

unsigned MultiFramedRTPSink::framePrefix(uint8_t*, unsigned) const { return 0; }

void MultiFramedRTPSink::packAudioStyle(const uint8_t* frame, unsigned size,
                                        struct timeval presentationTime) {
    uint8_t prefix[8];
    unsigned prefixSize = framePrefix(prefix, size);
    unsigned room = maxPayloadSize() - prefixSize;
    if (fPendingSize > 0) {
        // Frames lie back to back in the area, so the packet's payload grows in place.
        if (frame == fPendingPayload + fPendingSize && fPendingSize + size <= room) {
            fPendingSize += size;
            if (kRTPHeaderSize + fPendingSize >= fOutBuf->preferredPacketSize()) emitPendingPacket();
            return;
        }
        emitPendingPacket();
    }
    uint32_t timestamp = timestampForPacket(presentationTime);
    if (size <= room) {
        if (allowMultipleFramesPerPacket() && prefixSize == 0 &&
            kRTPHeaderSize + size < fOutBuf->preferredPacketSize()) {
            fPendingPayload = frame;
            fPendingSize = size;
            fPendingTimestamp = timestamp;
            return;
        }
        emitPacket(prefix, prefixSize, frame, size, markerOnFrameEnd(), timestamp);
        return;
    }
    // Larger than one packet: fragments, each with the frame's prefix.
    for (unsigned offset = 0; offset < size; offset += room) {
        unsigned chunk = size - offset < room ? size - offset : room;
        bool last = offset + chunk == size;
        emitPacket(prefix, prefixSize, frame + offset, chunk, last && markerOnFrameEnd(), timestamp);
    }
}

void MultiFramedRTPSink::emitPendingPacket() {
    if (fPendingSize == 0) return;
    emitPacket(nullptr, 0, fPendingPayload, fPendingSize, markerOnFrameEnd(), fPendingTimestamp);
    fPendingPayload = nullptr;
    fPendingSize = 0;
}

void MultiFramedRTPSink::emitPacket(const uint8_t* prefix, unsigned prefixSize,
                                    const uint8_t* payload, unsigned payloadSize, bool marker,
                                    uint32_t timestamp) {
    uint8_t header[DatagramBurst::kMaxHeaderSize];
    if (prefixSize > sizeof header - kRTPHeaderSize) prefixSize = sizeof header - kRTPHeaderSize;
    uint16_t seqNo = takeSeqNo();
    uint32_t ssrc = SSRC();
    header[0] = 0x80;  // version 2, no padding, no extension, no CSRC
    header[1] = static_cast<uint8_t>((marker ? 0x80 : 0x00) | rtpPayloadType());
    header[2] = static_cast<uint8_t>(seqNo >> 8);
    header[3] = static_cast<uint8_t>(seqNo);
    header[4] = static_cast<uint8_t>(timestamp >> 24);
    header[5] = static_cast<uint8_t>(timestamp >> 16);
    header[6] = static_cast<uint8_t>(timestamp >> 8);
    header[7] = static_cast<uint8_t>(timestamp);
    header[8] = static_cast<uint8_t>(ssrc >> 24);
    header[9] = static_cast<uint8_t>(ssrc >> 16);
    header[10] = static_cast<uint8_t>(ssrc >> 8);
    header[11] = static_cast<uint8_t>(ssrc);
    if (prefixSize > 0) memcpy(header + kRTPHeaderSize, prefix, prefixSize);
    fRTPInterface.queuePacket(header, kRTPHeaderSize + prefixSize, payload, payloadSize);
    notePacketSent(prefixSize + payloadSize);
}

void MultiFramedRTPSink::flushInterface() {
    if (!fRTPInterface.flush()) fSendFailed = true;
}

void MultiFramedRTPSink::endBurst() {
    flushInterface();
    if (fSendFailed) {
        fSendFailed = false;
        reportSendError();  // last: may close this sink
    }
}

void MultiFramedRTPSink::onSourceClosure() {
    // Nothing of the source's last frames is lost.
    emitPendingPacket();
    flushInterface();
    if (fSendFailed) {
        fSendFailed = false;
        Log_Write(LOG_ERROR, "sendPacket failed！！！！\n");
    }
    if (fOutBuf != nullptr) fOutBuf->reset();
    MediaSink::onSourceClosure();
}

void MultiFramedRTPSink::stopPlaying() {
    emitPendingPacket();
    if (!fRTPInterface.flush()) Log_Write(LOG_ERROR, "sendPacket failed！！！！\n");
    fSendFailed = false;
    if (fOutBuf != nullptr) fOutBuf->reset();
    MediaSink::stopPlaying();
}
