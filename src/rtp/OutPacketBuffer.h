// The frame area of an RTP sink: frames are read straight into it, and the
// packets of a burst point into it until the burst has been sent. The area
// (over 1 MiB, made once per sink) is a page block of its own.
#pragma once

#include <cstdint>

class OutPacketBuffer {
public:
    // The largest frame a sink takes whole (process-wide; read when a sink is made).
    static unsigned maxSize;
    // Room after the frame area so that several frames can share one burst.
    static constexpr unsigned kBurstRoom = 65536;

    OutPacketBuffer(unsigned preferredPacketSize, unsigned maxPacketSize, unsigned maxBufferSize = 0);
    ~OutPacketBuffer();
    OutPacketBuffer(const OutPacketBuffer&) = delete;
    OutPacketBuffer& operator=(const OutPacketBuffer&) = delete;

    bool valid() const { return fBuffer != nullptr; }
    unsigned preferredPacketSize() const { return fPreferredPacketSize; }
    unsigned maxPacketSize() const { return fMaxPacketSize; }
    unsigned maxFrameSize() const { return fMaxFrameSize; }

    uint8_t* writePosition() const { return fBuffer + fWritePos; }
    unsigned roomLeft() const { return fCapacity - fWritePos; }
    // Whether the next frame might not fit whole: the area must be reused.
    bool needsReset() const { return roomLeft() < fMaxFrameSize; }
    void advance(unsigned size) { fWritePos += size > roomLeft() ? roomLeft() : size; }
    void reset() { fWritePos = 0; }

private:
    unsigned fPreferredPacketSize;
    unsigned fMaxPacketSize;
    unsigned fMaxFrameSize;
    unsigned fCapacity;
    unsigned fWritePos = 0;
    uint8_t* fBuffer;
};
