#include "media/LiveH264VideoServerMediaSubsession.h"

#include <new>

#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"

LiveH264VideoServerMediaSubsession* LiveH264VideoServerMediaSubsession::createNew(
    UsageEnvironment& env, MEDIA_DESC_T* mediaDesc, LiveSource* liveSource) {
    return new (std::nothrow) LiveH264VideoServerMediaSubsession(env, mediaDesc, liveSource);
}

RTPSink* LiveH264VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                              unsigned char rtpPayloadTypeIfDynamic,
                                                              FramedSource*) {
    if (fMediaDesc == nullptr) return nullptr;
    return H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, fMediaDesc->sps,
                                       fMediaDesc->sps_length, fMediaDesc->pps, fMediaDesc->pps_length);
}

FramedSource* LiveH264VideoServerMediaSubsession::createFramer(FramedSource* input) {
    return H264VideoStreamDiscreteFramer::createNew(envir(), input);
}
