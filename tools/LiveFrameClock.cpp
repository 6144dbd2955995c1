#include "LiveFrameClock.h"

#include <algorithm>
#include <cmath>

int64_t LiveFrameClock::next(int64_t arrivalUs) {
    double arrival = static_cast<double>(arrivalUs);
    double stamp = arrival;
    if (fStarted) {
        double ahead = fLastUs + fPeriodUs - arrival;
        double period = fPeriodUs;
        if (ahead > kSlewThresholdUs) period *= 1 - kSlew;
        if (ahead < -kSlewThresholdUs) period *= 1 + kSlew;
        stamp = std::clamp(fLastUs + period, arrival - kWindowUs, arrival + kWindowUs);
        stamp = std::max(stamp, fLastUs + 1);
    }
    fStarted = true;
    fLastUs = stamp;
    return std::llround(stamp);
}
