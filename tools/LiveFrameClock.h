// Presentation times for a live input: one period per unit, kept within a
// window around the arrival time, so that arrival jitter does not reach the
// stream while a slower or faster input does not drift away from real time.
#pragma once

#include <cstdint>

class LiveFrameClock {
public:
    explicit LiveFrameClock(double periodUs, int64_t windowUs = 250000)
        : fPeriodUs(periodUs), fWindowUs(windowUs) {}

    // The stamp (wall-clock µs) of the next unit, arriving at `arrivalUs`.
    // Stamps always increase.
    int64_t next(int64_t arrivalUs);

private:
    double fPeriodUs;
    int64_t fWindowUs;
    bool fStarted = false;
    double fLastUs = 0;
};
