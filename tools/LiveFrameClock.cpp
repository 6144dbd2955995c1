#include "LiveFrameClock.h"

#include <algorithm>
#include <cmath>

int64_t LiveFrameClock::next(int64_t arrivalUs) {
    double arrival = static_cast<double>(arrivalUs);
    double stamp = fStarted ? fLastUs + fPeriodUs : arrival;
    stamp = std::clamp(stamp, arrival - fWindowUs, arrival + fWindowUs);
    if (fStarted && stamp <= fLastUs) stamp = fLastUs + 1;
    fStarted = true;
    fLastUs = stamp;
    return std::llround(stamp);
}
