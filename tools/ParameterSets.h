// The parameter sets (VPS, SPS, PPS) of a video stream, held in arrays of the
// sizes the media description offers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "NalUnit.h"
#include "Nerivo.h"

class ParameterSets {
public:
    enum class Offer { NotAParameterSet, Stored, TooLong };

    // Stores the unit when it is a parameter set of `codec`, replacing the
    // one of its kind held before.
    Offer offer(VideoCodec codec, const uint8_t* unit, size_t size);
    bool has(ParameterSetKind kind) const;
    // SPS and PPS, and for H.265 the VPS too.
    bool complete(VideoCodec codec) const;
    // Copies the sets and their lengths into the description.
    void fillDescription(MEDIA_DESC_T& desc) const;

private:
    MEDIA_DESC_T fSets{};  // only the vps/sps/pps fields and lengths are used
};
