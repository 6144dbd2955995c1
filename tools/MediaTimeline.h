// Due times and presentation times for media pushed in real time. All media
// of a channel share one origin, so they stay in step.
#pragma once

#include <chrono>
#include <cstdint>

class MediaTimeline {
public:
    using Clock = std::chrono::steady_clock;

    // Sets the origin to now.
    void start();
    // When the unit `offsetUs` after the origin is due.
    Clock::time_point dueTime(double offsetUs) const;
    // Wall-clock microseconds of the origin plus `offsetUs`.
    int64_t presentationUs(double offsetUs) const;
    // The presentation time of this moment: the wall clock, advancing
    // monotonically from the origin.
    int64_t presentationNowUs() const;
    // Moves the origin later, after pushing fell far behind.
    void shift(Clock::duration lag);

private:
    Clock::time_point fOrigin;
    int64_t fWallOriginUs = 0;
};

// Microseconds since the epoch, from the wall clock.
int64_t wallClockMicros();
