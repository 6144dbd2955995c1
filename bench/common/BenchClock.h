// Clocks of the bench programs, in microseconds.
#pragma once

#include <cstdint>

// CLOCK_REALTIME: the clock the RTCP sender reports map RTP times onto.
int64_t wallMicros();
// CLOCK_MONOTONIC: for intervals and deadlines.
int64_t monoMicros();
// Seconds of CPU time this process has used so far (user + system).
double ownCpuSeconds();
