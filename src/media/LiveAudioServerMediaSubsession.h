// The audio track of a channel: the channel's audio stream source straight
// into the RTP sink of its codec (G.711, G.726 or AAC).
#pragma once

#include "media/LiveServerMediaSubsession.h"

class LiveAudioServerMediaSubsession : public LiveServerMediaSubsession {
public:
    static constexpr unsigned kAudioBitrate = 500;  // kbit/s

    static LiveAudioServerMediaSubsession* createNew(UsageEnvironment& env, MEDIA_DESC_T* mediaDesc,
                                                     LiveSource* liveSource);
    // In a session without a video track the audio track ends the live source.
    void setOwnsLiveSource(bool owns) { fOwnsLiveSource = owns; }

protected:
    using LiveServerMediaSubsession::LiveServerMediaSubsession;
    ~LiveAudioServerMediaSubsession() override;

    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;

private:
    bool describable() const;
    bool fOwnsLiveSource = false;
};
