#include "rtp/H264or5VideoStreamDiscreteFramer.h"

#include <new>

namespace {

// Parameter sets beyond this are not worth keeping (SDP carries them in Base64).
constexpr unsigned kMaxParameterSetSize = 4096;

bool beginsWithStartCode(const uint8_t* data, unsigned size) {
    if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) return true;
    return size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1;
}

}  // namespace

H264or5VideoStreamDiscreteFramer::H264or5VideoStreamDiscreteFramer(int hNumber,
                                                                   UsageEnvironment& env,
                                                                   FramedSource* inputSource)
    : FramedFilter(env, inputSource), fHNumber(hNumber) {}

unsigned H264or5VideoStreamDiscreteFramer::maxFrameSize() const {
    return fInputSource != nullptr ? fInputSource->maxFrameSize() : 0;
}

void H264or5VideoStreamDiscreteFramer::doGetNextFrame() {
    if (fInputSource == nullptr) {
        handleClosure();
        return;
    }
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure,
                               this);
}

void H264or5VideoStreamDiscreteFramer::afterGettingFrame(void* clientData, unsigned frameSize,
                                                         unsigned numTruncatedBytes,
                                                         struct timeval presentationTime,
                                                         unsigned durationInMicroseconds) {
    static_cast<H264or5VideoStreamDiscreteFramer*>(clientData)
        ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime,
                             durationInMicroseconds);
}

void H264or5VideoStreamDiscreteFramer::afterGettingFrame1(unsigned frameSize,
                                                          unsigned numTruncatedBytes,
                                                          struct timeval presentationTime,
                                                          unsigned durationInMicroseconds) {
    if (frameSize > fMaxSize) frameSize = fMaxSize;  // a source must not claim more than asked
    if (beginsWithStartCode(fTo, frameSize)) {
        envir() << (fHNumber == 264
                        ? "H264VideoStreamDiscreteFramer error: MPEG 'start code' seen in the input\n"
                        : "H265VideoStreamDiscreteFramer error: MPEG 'start code' seen in the input\n");
        fPictureEndMarker = false;
    } else {
        noteNalUnit(fTo, frameSize);
    }
    fFrameSize = frameSize;
    fNumTruncatedBytes = numTruncatedBytes;
    fPresentationTime = presentationTime;
    fDurationInMicroseconds = durationInMicroseconds;
    FramedSource::afterGetting(this);
}

void H264or5VideoStreamDiscreteFramer::noteNalUnit(const uint8_t* nal, unsigned size) {
    fPictureEndMarker = false;
    if (size == 0) return;
    if (fHNumber == 264) {
        unsigned type = nal[0] & 0x1F;
        if (type == 7) rememberSet(fLastSPS, nal, size);
        else if (type == 8) rememberSet(fLastPPS, nal, size);
        fPictureEndMarker = type >= 1 && type <= 5;
    } else {
        unsigned type = (nal[0] >> 1) & 0x3F;
        if (type == 32) rememberSet(fLastVPS, nal, size);
        else if (type == 33) rememberSet(fLastSPS, nal, size);
        else if (type == 34) rememberSet(fLastPPS, nal, size);
        fPictureEndMarker = type <= 31;
    }
}

void H264or5VideoStreamDiscreteFramer::rememberSet(std::vector<uint8_t>& set, const uint8_t* nal,
                                                   unsigned size) {
    if (size > kMaxParameterSetSize) return;
    try {
        set.assign(nal, nal + size);  // same size as before: no allocation
    } catch (const std::bad_alloc&) {
        set.clear();
    }
}
