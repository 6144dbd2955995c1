// Base of everything a sink can read from.
#pragma once

#include "event/Medium.h"

class MediaSource : public Medium {
public:
    bool isSource() const override { return true; }
    virtual bool isFramedSource() const { return false; }
    // Sinks that need a particular framer ask these.
    virtual bool isH264VideoStreamFramer() const { return false; }
    virtual bool isH265VideoStreamFramer() const { return false; }

protected:
    explicit MediaSource(UsageEnvironment& env) : Medium(env) {}
};
