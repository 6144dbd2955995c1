#include "MediaTimeline.h"

#include <cmath>
#include <ctime>

int64_t wallClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void MediaTimeline::start() {
    fOrigin = Clock::now();
    fWallOriginUs = wallClockMicros();
}

MediaTimeline::Clock::time_point MediaTimeline::dueTime(double offsetUs) const {
    return fOrigin + std::chrono::microseconds(std::llround(offsetUs));
}

int64_t MediaTimeline::presentationUs(double offsetUs) const {
    return fWallOriginUs + std::llround(offsetUs);
}

int64_t MediaTimeline::presentationNowUs() const {
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - fOrigin);
    return fWallOriginUs + elapsed.count();
}

void MediaTimeline::shift(Clock::duration lag) {
    fOrigin += lag;
    fWallOriginUs += std::chrono::duration_cast<std::chrono::microseconds>(lag).count();
}
