#include "rtp/H264VideoStreamDiscreteFramer.h"

#include <new>

H264VideoStreamDiscreteFramer* H264VideoStreamDiscreteFramer::createNew(UsageEnvironment& env,
                                                                        FramedSource* inputSource) {
    return new (std::nothrow) H264VideoStreamDiscreteFramer(env, inputSource);
}

H264VideoStreamDiscreteFramer::H264VideoStreamDiscreteFramer(UsageEnvironment& env,
                                                             FramedSource* inputSource)
    : H264or5VideoStreamDiscreteFramer(264, env, inputSource) {}
