#include "rtp/OutPacketBuffer.h"

#include "log/PageBlock.h"

unsigned OutPacketBuffer::maxSize = 1048576;

OutPacketBuffer::OutPacketBuffer(unsigned preferredPacketSize, unsigned maxPacketSize,
                                 unsigned maxBufferSize)
    : fPreferredPacketSize(preferredPacketSize),
      fMaxPacketSize(maxPacketSize),
      fMaxFrameSize(maxBufferSize == 0 ? maxSize : maxBufferSize),
      fCapacity(fMaxFrameSize + kBurstRoom),
      fBuffer(PageBlock_Allocate(fCapacity)) {}

OutPacketBuffer::~OutPacketBuffer() { PageBlock_Free(fBuffer, fCapacity); }
