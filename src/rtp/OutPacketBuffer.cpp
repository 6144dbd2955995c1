#include "rtp/OutPacketBuffer.h"

#include <new>

unsigned OutPacketBuffer::maxSize = 1048576;

OutPacketBuffer::OutPacketBuffer(unsigned preferredPacketSize, unsigned maxPacketSize,
                                 unsigned maxBufferSize)
    : fPreferredPacketSize(preferredPacketSize),
      fMaxPacketSize(maxPacketSize),
      fMaxFrameSize(maxBufferSize == 0 ? maxSize : maxBufferSize),
      fCapacity(fMaxFrameSize + kBurstRoom),
      fBuffer(new (std::nothrow) uint8_t[fCapacity]) {}

OutPacketBuffer::~OutPacketBuffer() { delete[] fBuffer; }
