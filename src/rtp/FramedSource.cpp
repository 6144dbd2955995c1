#include "rtp/FramedSource.h"

FramedSource::~FramedSource() = default;

void FramedSource::getNextFrame(unsigned char* to, unsigned maxSize,
                                afterGettingFunc* afterGettingFunc, void* afterGettingClientData,
                                onCloseFunc* onCloseFunc, void* onCloseClientData) {
    if (fIsCurrentlyAwaitingData) {
        // Two readers at once would overwrite each other's frame.
        envir() << "FramedSource::getNextFrame(): a frame is already being read; request refused\n";
        return;
    }
    fTo = to;
    fMaxSize = maxSize;
    fNumTruncatedBytes = 0;
    fDurationInMicroseconds = 0;
    fAfterGettingFunc = afterGettingFunc;
    fAfterGettingClientData = afterGettingClientData;
    fOnCloseFunc = onCloseFunc;
    fOnCloseClientData = onCloseClientData;
    fIsCurrentlyAwaitingData = true;
    doGetNextFrame();
}

void FramedSource::afterGetting(FramedSource* source) {
    source->fIsCurrentlyAwaitingData = false;
    if (source->fAfterGettingFunc != nullptr) {
        source->fAfterGettingFunc(source->fAfterGettingClientData, source->fFrameSize,
                                  source->fNumTruncatedBytes, source->fPresentationTime,
                                  source->fDurationInMicroseconds);
    }
}

void FramedSource::handleClosure(void* clientData) {
    static_cast<FramedSource*>(clientData)->handleClosure();
}

void FramedSource::handleClosure() {
    fIsCurrentlyAwaitingData = false;
    if (fOnCloseFunc != nullptr) fOnCloseFunc(fOnCloseClientData);
}

void FramedSource::stopGettingFrames() {
    fIsCurrentlyAwaitingData = false;
    doStopGettingFrames();
}

void FramedSource::doStopGettingFrames() { envir().taskScheduler().unscheduleDelayedTask(nextTask()); }
