// Common base of a channel's tracks: one shared stream per track, ports from
// 6970, RTCP on its own port; carries the channel's live source, its
// description and the bitrate handed to the stack.
#pragma once

#include "Nerivo.h"
#include "rtsp/OnDemandServerMediaSubsession.h"

class LiveSource;

class LiveServerMediaSubsession : public OnDemandServerMediaSubsession {
protected:
    LiveServerMediaSubsession(UsageEnvironment& env, MEDIA_DESC_T* mediaDesc, LiveSource* liveSource,
                              unsigned estBitrate);
    ~LiveServerMediaSubsession() override;

    LiveSource* fLiveSource;  // owned by the video track, borrowed by the audio track
    unsigned fEstBitrate;     // kbit/s
    MEDIA_DESC_T* fMediaDesc; // the channel table's copy; not owned
};
