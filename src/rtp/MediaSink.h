// Base of everything that consumes frames: it pulls from one source at a time.
#pragma once

#include "rtp/FramedSource.h"

class MediaSink : public Medium {
public:
    typedef void afterPlayingFunc(void* clientData);

    // Starts pulling from `source`. False, with a result message, when the sink
    // is already playing or the source does not suit it.
    bool startPlaying(MediaSource& source, afterPlayingFunc* afterFunc, void* afterClientData);
    virtual void stopPlaying();
    bool isSink() const override { return true; }
    FramedSource* source() const { return fSource; }

protected:
    explicit MediaSink(UsageEnvironment& env) : Medium(env) {}
    ~MediaSink() override;

    virtual bool sourceIsCompatibleWithUs(MediaSource& source);
    // Asks the source for the first frame; false stops the start.
    virtual bool continuePlaying() = 0;
    // The source ended: forget it and run the after-playing function.
    static void onSourceClosure(void* clientData);
    virtual void onSourceClosure();

    FramedSource* fSource = nullptr;

private:
    afterPlayingFunc* fAfterFunc = nullptr;
    void* fAfterClientData = nullptr;
};
