#include "media/LiveServerMediaSubsession.h"

LiveServerMediaSubsession::LiveServerMediaSubsession(UsageEnvironment& env, MEDIA_DESC_T* mediaDesc,
                                                     LiveSource* liveSource, unsigned estBitrate)
    : OnDemandServerMediaSubsession(env, true, 6970, false),
      fLiveSource(liveSource),
      fEstBitrate(estBitrate),
      fMediaDesc(mediaDesc) {}

LiveServerMediaSubsession::~LiveServerMediaSubsession() = default;
