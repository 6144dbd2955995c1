#include "rtp/MediaSink.h"

MediaSink::~MediaSink() { MediaSink::stopPlaying(); }

bool MediaSink::sourceIsCompatibleWithUs(MediaSource& source) { return source.isFramedSource(); }

bool MediaSink::startPlaying(MediaSource& source, afterPlayingFunc* afterFunc,
                             void* afterClientData) {
    if (fSource != nullptr) {
        envir().setResultMsg("This sink is already being played");
        return false;
    }
    if (!sourceIsCompatibleWithUs(source)) {
        envir().setResultMsg("MediaSink::startPlaying(): source is not compatible!");
        return false;
    }
    fSource = static_cast<FramedSource*>(&source);
    fAfterFunc = afterFunc;
    fAfterClientData = afterClientData;
    return continuePlaying();
}

void MediaSink::stopPlaying() {
    if (fSource != nullptr) fSource->stopGettingFrames();
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    fSource = nullptr;
    fAfterFunc = nullptr;
    fAfterClientData = nullptr;
}

void MediaSink::onSourceClosure(void* clientData) {
    static_cast<MediaSink*>(clientData)->onSourceClosure();
}

void MediaSink::onSourceClosure() {
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    fSource = nullptr;
    afterPlayingFunc* afterFunc = fAfterFunc;
    void* afterClientData = fAfterClientData;
    fAfterFunc = nullptr;
    fAfterClientData = nullptr;
    // Last: the function may close this sink.
    if (afterFunc != nullptr) afterFunc(afterClientData);
}
