#include "rtp/FramedFilter.h"

FramedFilter::~FramedFilter() { Medium::close(fInputSource); }

void FramedFilter::doStopGettingFrames() {
    FramedSource::doStopGettingFrames();
    if (fInputSource != nullptr) fInputSource->stopGettingFrames();
}
