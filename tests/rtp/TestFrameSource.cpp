#include "TestFrameSource.h"

#include <cstring>
#include <new>

TestFrameSource* TestFrameSource::createNew(UsageEnvironment& env, std::vector<TestFrame> frames,
                                            int64_t delayUs, bool closeAtEnd) {
    return new (std::nothrow) TestFrameSource(env, std::move(frames), delayUs, closeAtEnd);
}

TestFrameSource::TestFrameSource(UsageEnvironment& env, std::vector<TestFrame> frames,
                                 int64_t delayUs, bool closeAtEnd)
    : FramedSource(env), fFrames(std::move(frames)), fDelayUs(delayUs), fCloseAtEnd(closeAtEnd) {}

void TestFrameSource::doGetNextFrame() {
    ++fRequests;
    if (fDelayUs < 0) {
        deliver();
    } else {
        nextTask() = envir().taskScheduler().scheduleDelayedTask(fDelayUs, deliverTask, this);
    }
}

void TestFrameSource::deliverTask(void* clientData) {
    auto* source = static_cast<TestFrameSource*>(clientData);
    source->nextTask() = nullptr;
    source->deliver();
}

void TestFrameSource::deliver() {
    if (fNext >= fFrames.size()) {
        if (fCloseAtEnd) handleClosure();
        return;
    }
    const TestFrame& frame = fFrames[fNext++];
    unsigned size = static_cast<unsigned>(frame.data.size());
    fNumTruncatedBytes = 0;
    if (size > fMaxSize) {
        fNumTruncatedBytes = size - fMaxSize;
        size = fMaxSize;
    }
    memcpy(fTo, frame.data.data(), size);
    fFrameSize = size;
    fPresentationTime = frame.presentationTime;
    FramedSource::afterGetting(this);
}

std::vector<uint8_t> makeNalUnit(int hNumber, unsigned size, bool vcl) {
    std::vector<uint8_t> nal(size);
    for (unsigned i = 0; i < size; ++i) nal[i] = static_cast<uint8_t>(i * 31 + 7);
    if (size == 0) return nal;
    if (hNumber == 264) {
        nal[0] = vcl ? 0x65 : 0x06;  // IDR slice or SEI, nal_ref_idc 3 / 0
    } else {
        nal[0] = static_cast<uint8_t>((vcl ? 19 : 39) << 1);  // IDR_W_RADL or prefix SEI
        if (size > 1) nal[1] = 0x01;
    }
    return nal;
}
