// Tells H.264 from H.265 by the NAL unit headers of a stream's first units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "NalUnit.h"

class VideoCodecDetector {
public:
    // Looks at one more unit; returns the codec once it is decided.
    VideoCodec offer(const uint8_t* unit, size_t size);
    // The decision, or Unknown while the units seen leave it open.
    VideoCodec decided() const { return fDecided; }
    // Best answer at the end of a stream: the majority of telling units.
    VideoCodec conclude();

    // Units read as only one codec's before that codec wins outright.
    static constexpr unsigned kLeadToDecide = 3;
    // Units looked at before the majority decides.
    static constexpr unsigned kUnitsToDecide = 32;

private:
    unsigned fUnitsSeen = 0;
    unsigned fOnlyH264 = 0;
    unsigned fOnlyH265 = 0;
    VideoCodec fDecided = VideoCodec::Unknown;
};
