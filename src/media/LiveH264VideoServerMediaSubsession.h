// H.264 video track of a channel.
#pragma once

#include "media/LiveVideoServerMediaSubsession.h"

class LiveH264VideoServerMediaSubsession : public LiveVideoServerMediaSubsession {
public:
    static LiveH264VideoServerMediaSubsession* createNew(UsageEnvironment& env, MEDIA_DESC_T* mediaDesc,
                                                         LiveSource* liveSource);

protected:
    using LiveVideoServerMediaSubsession::LiveVideoServerMediaSubsession;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;
    FramedSource* createFramer(FramedSource* input) override;
};
