// The video track of a channel (H.264 or H.265): a discrete framer over the
// channel's video stream source, an RTP sink seeded with the host's parameter
// sets, and the a=fmtp line obtained by a bounded probe of that sink.
#pragma once

#include <string>

#include "media/LiveServerMediaSubsession.h"

class RTPSink;

class LiveVideoServerMediaSubsession : public LiveServerMediaSubsession {
public:
    static constexpr unsigned kVideoBitrate = 1048576;  // kbit/s
    static constexpr int64_t kProbeIntervalUs = 100000;
    static constexpr int kProbeMaxPolls = 20;  // then the track is described without a=fmtp

    char const* sdpLines() override;

protected:
    LiveVideoServerMediaSubsession(UsageEnvironment& env, MEDIA_DESC_T* mediaDesc, LiveSource* liveSource);
    // Closes the channel's live source, which this track owns.
    ~LiveVideoServerMediaSubsession() override;

    char const* getAuxSDPLine(RTPSink* rtpSink, FramedSource* inputSource) override;
    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    // The framer of the codec over `input`.
    virtual FramedSource* createFramer(FramedSource* input) = 0;

    char fProbeDone = 0;  // watch variable of the probe's nested loop: 0 waiting, 0xFF done
    RTPSink* fProbeSink = nullptr;

private:
    static void pollProbeSink(void* clientData);
    static void onProbeSinkStopped(void* clientData);
    void finishProbe();

    int fProbePolls = 0;
    bool fProbing = false;
    bool fAuxLineKnown = false;  // a finished probe's line, kept for a DESCRIBE that waited on it
    std::string fAuxLine;
};
