// Random numbers for SSRCs, initial sequence numbers, timestamp bases and
// RTCP interval randomization (RFC 3550 asks for unpredictable values).
#pragma once

#include <cstdint>

uint32_t rtpRandom32();
// Uniform in [0, 1).
double rtpRandomUnit();
