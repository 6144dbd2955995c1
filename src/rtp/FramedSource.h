// A source that hands out one frame per request: the reader asks with
// getNextFrame and is called back (at once or later) when the frame is at `to`.
#pragma once

#include <sys/time.h>

#include "rtp/MediaSource.h"

class FramedSource : public MediaSource {
public:
    typedef void afterGettingFunc(void* clientData, unsigned frameSize,
                                  unsigned numTruncatedBytes, struct timeval presentationTime,
                                  unsigned durationInMicroseconds);
    typedef void onCloseFunc(void* clientData);

    // Asks for the next frame, at most maxSize bytes at `to`. A second request
    // while one is pending is refused with an error line.
    void getNextFrame(unsigned char* to, unsigned maxSize, afterGettingFunc* afterGettingFunc,
                      void* afterGettingClientData, onCloseFunc* onCloseFunc,
                      void* onCloseClientData);
    // The source has ended: the reader's close function runs (once per request).
    static void handleClosure(void* clientData);
    void handleClosure();
    void stopGettingFrames();
    bool isCurrentlyAwaitingData() const { return fIsCurrentlyAwaitingData; }
    // Largest frame this source delivers, 0 when it does not say.
    virtual unsigned maxFrameSize() const { return 0; }
    bool isFramedSource() const override { return true; }

    // Delivers the frame set up in fFrameSize and friends to the reader.
    static void afterGetting(FramedSource* source);

protected:
    explicit FramedSource(UsageEnvironment& env) : MediaSource(env) {}
    ~FramedSource() override;

    // Fills fTo (at most fMaxSize bytes) and calls afterGetting, now or later.
    virtual void doGetNextFrame() = 0;
    // Default: cancels nextTask().
    virtual void doStopGettingFrames();

    unsigned char* fTo = nullptr;
    unsigned fMaxSize = 0;
    unsigned fFrameSize = 0;
    unsigned fNumTruncatedBytes = 0;
    struct timeval fPresentationTime = {0, 0};
    unsigned fDurationInMicroseconds = 0;

private:
    afterGettingFunc* fAfterGettingFunc = nullptr;
    void* fAfterGettingClientData = nullptr;
    onCloseFunc* fOnCloseFunc = nullptr;
    void* fOnCloseClientData = nullptr;
    bool fIsCurrentlyAwaitingData = false;
};
