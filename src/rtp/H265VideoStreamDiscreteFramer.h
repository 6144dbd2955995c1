// H.265 framer for a source that delivers one NAL unit per frame.
#pragma once

#include "rtp/H264or5VideoStreamDiscreteFramer.h"

class H265VideoStreamDiscreteFramer : public H264or5VideoStreamDiscreteFramer {
public:
    static H265VideoStreamDiscreteFramer* createNew(UsageEnvironment& env, FramedSource* inputSource);

protected:
    H265VideoStreamDiscreteFramer(UsageEnvironment& env, FramedSource* inputSource);
};
