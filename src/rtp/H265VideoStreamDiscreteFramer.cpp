#include "rtp/H265VideoStreamDiscreteFramer.h"

#include <new>

H265VideoStreamDiscreteFramer* H265VideoStreamDiscreteFramer::createNew(UsageEnvironment& env,
                                                                        FramedSource* inputSource) {
    return new (std::nothrow) H265VideoStreamDiscreteFramer(env, inputSource);
}

H265VideoStreamDiscreteFramer::H265VideoStreamDiscreteFramer(UsageEnvironment& env,
                                                             FramedSource* inputSource)
    : H264or5VideoStreamDiscreteFramer(265, env, inputSource) {}
