#include "media/LiveH265VideoServerMediaSubsession.h"

#include <new>

#include "rtp/H265VideoRTPSink.h"
#include "rtp/H265VideoStreamDiscreteFramer.h"
#include "rtp/OutPacketBuffer.h"

LiveH265VideoServerMediaSubsession* LiveH265VideoServerMediaSubsession::createNew(
    UsageEnvironment& env, MEDIA_DESC_T* mediaDesc, LiveSource* liveSource) {
    return new (std::nothrow) LiveH265VideoServerMediaSubsession(env, mediaDesc, liveSource);
}

RTPSink* LiveH265VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                              unsigned char rtpPayloadTypeIfDynamic,
                                                              FramedSource*) {
    if (fMediaDesc == nullptr) return nullptr;
    OutPacketBuffer::maxSize = 1048576;
    return H265VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, fMediaDesc->vps,
                                       fMediaDesc->vps_length, fMediaDesc->sps, fMediaDesc->sps_length,
                                       fMediaDesc->pps, fMediaDesc->pps_length);
}

FramedSource* LiveH265VideoServerMediaSubsession::createFramer(FramedSource* input) {
    return H265VideoStreamDiscreteFramer::createNew(envir(), input);
}
