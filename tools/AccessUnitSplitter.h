// Finds where one access unit (all NAL units of one picture) ends and the
// next begins, unit by unit, as the units arrive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "NalUnit.h"

class AccessUnitSplitter {
public:
    explicit AccessUnitSplitter(VideoCodec codec) : fCodec(codec) {}

    // True when this unit is the first of a new access unit; the first unit
    // of the stream always is.
    bool beginsAccessUnit(const uint8_t* unit, size_t size);

private:
    VideoCodec fCodec;
    bool fSeenAny = false;
    bool fCurrentHasPicture = false;
};
