#include "media/LiveVideoServerMediaSubsession.h"

#include "media/LiveSource.h"
#include "media/LiveStreamSource.h"
#include "media/SilentSource.h"
#include "rtp/RTPSink.h"

LiveVideoServerMediaSubsession::LiveVideoServerMediaSubsession(UsageEnvironment& env,
                                                               MEDIA_DESC_T* mediaDesc,
                                                               LiveSource* liveSource)
    : LiveServerMediaSubsession(env, mediaDesc, liveSource, kVideoBitrate) {}

LiveVideoServerMediaSubsession::~LiveVideoServerMediaSubsession() {
    if (fLiveSource != nullptr) {
        Medium::close(fLiveSource);
        fLiveSource = nullptr;
    }
}

char const* LiveVideoServerMediaSubsession::sdpLines() {
    // A DESCRIBE that arrives while the first one probes waits for that probe
    // instead of starting another on the channel's one video source.
    if (fProbing) envir().taskScheduler().doEventLoop(&fProbeDone);
    return OnDemandServerMediaSubsession::sdpLines();
}

FramedSource* LiveVideoServerMediaSubsession::createNewStreamSource(unsigned, unsigned& estBitrate) {
    estBitrate = fEstBitrate;
    if (fLiveSource == nullptr) return nullptr;
    // The channel has one video source: while a probe or a stream reads it, a
    // description is built over a source that never delivers (closing the
    // description's framer must not take the reader's source with it).
    bool busy = fProbing || fLiveSource->hasVideoStreamSource();
    FramedSource* input = busy ? static_cast<FramedSource*>(SilentSource::createNew(envir()))
                               : fLiveSource->videoStreamSource();
    if (input == nullptr) return nullptr;
    FramedSource* framer = createFramer(input);
    if (framer == nullptr && busy) Medium::close(input);
    return framer;
}

char const* LiveVideoServerMediaSubsession::getAuxSDPLine(RTPSink* rtpSink, FramedSource* inputSource) {
    if (fAuxLineKnown) return fAuxLine.empty() ? nullptr : fAuxLine.c_str();
    fProbeSink = rtpSink;
    if (rtpSink == nullptr) return nullptr;
    // Starting the sink asks the source for a frame: that first request tells
    // the host the channel's frames are wanted.
    fProbeDone = 0;
    fProbePolls = 0;
    rtpSink->startPlaying(*inputSource, onProbeSinkStopped, this);
    if (fProbeDone == 0 && rtpSink->auxSDPLine() != nullptr) {
        finishProbe();
    } else if (fProbeDone == 0) {
        fProbing = true;
        nextTask() = envir().taskScheduler().scheduleDelayedTask(kProbeIntervalUs, pollProbeSink, this);
    }
    envir().taskScheduler().doEventLoop(&fProbeDone);
    fProbing = false;
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    if (!fAuxLineKnown) finishProbe();  // the loop ended without the probe (failed step)
    return fAuxLine.empty() ? nullptr : fAuxLine.c_str();
}

void LiveVideoServerMediaSubsession::finishProbe() {
    // The line is kept at once: a DESCRIBE that waited on this probe is
    // answered from it before the probing call itself returns.
    char const* line = fProbeSink != nullptr ? fProbeSink->auxSDPLine() : nullptr;
    fAuxLine = line != nullptr ? line : "";
    fAuxLineKnown = true;
    fProbeDone = static_cast<char>(0xFF);
}

void LiveVideoServerMediaSubsession::pollProbeSink(void* clientData) {
    auto* self = static_cast<LiveVideoServerMediaSubsession*>(clientData);
    self->nextTask() = nullptr;
    if (self->fProbeSink->auxSDPLine() != nullptr || ++self->fProbePolls >= kProbeMaxPolls) {
        self->finishProbe();
        return;
    }
    self->nextTask() =
        self->envir().taskScheduler().scheduleDelayedTask(kProbeIntervalUs, pollProbeSink, self);
}

void LiveVideoServerMediaSubsession::onProbeSinkStopped(void* clientData) {
    auto* self = static_cast<LiveVideoServerMediaSubsession*>(clientData);
    if (!self->fAuxLineKnown) self->finishProbe();
}
