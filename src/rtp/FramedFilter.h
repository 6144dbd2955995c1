// A framed source that reads another one; it owns (and closes) its input.
#pragma once

#include "rtp/FramedSource.h"

class FramedFilter : public FramedSource {
public:
    FramedSource* inputSource() const { return fInputSource; }
    // Forgets the input without closing it.
    void detachInputSource() { fInputSource = nullptr; }

protected:
    FramedFilter(UsageEnvironment& env, FramedSource* inputSource)
        : FramedSource(env), fInputSource(inputSource) {}
    ~FramedFilter() override;

    void doStopGettingFrames() override;

    FramedSource* fInputSource;
};
