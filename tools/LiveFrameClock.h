// Presentation times for a live input: one period per unit, so that arrival
// jitter does not reach the stream. When the stamps drift from the arrival
// times (an input a little faster or slower than its nominal rate, a burst
// at start-up), the period is slewed by a few percent until they meet
// again; beyond a hard window the stamps jump to its edge.
#pragma once

#include <cstdint>

class LiveFrameClock {
public:
    static constexpr double kSlewThresholdUs = 100000;
    static constexpr double kSlew = 0.05;
    static constexpr double kWindowUs = 500000;

    explicit LiveFrameClock(double periodUs) : fPeriodUs(periodUs) {}

    // The stamp (wall-clock µs) of the next unit, arriving at `arrivalUs`.
    // Stamps always increase.
    int64_t next(int64_t arrivalUs);

private:
    double fPeriodUs;
    bool fStarted = false;
    double fLastUs = 0;
};
