// A source that never delivers a frame: stands in for the channel's video
// source while that one is being read by a description probe.
#pragma once

#include "rtp/FramedSource.h"

class SilentSource : public FramedSource {
public:
    static SilentSource* createNew(UsageEnvironment& env);

protected:
    using FramedSource::FramedSource;
    void doGetNextFrame() override {}
};
