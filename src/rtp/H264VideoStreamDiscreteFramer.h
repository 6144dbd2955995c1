// H.264 framer for a source that delivers one NAL unit per frame.
#pragma once

#include "rtp/H264or5VideoStreamDiscreteFramer.h"

class H264VideoStreamDiscreteFramer : public H264or5VideoStreamDiscreteFramer {
public:
    static H264VideoStreamDiscreteFramer* createNew(UsageEnvironment& env, FramedSource* inputSource);

protected:
    H264VideoStreamDiscreteFramer(UsageEnvironment& env, FramedSource* inputSource);
};
