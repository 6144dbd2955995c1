#include "BenchClock.h"

#include <sys/resource.h>

#include <ctime>

namespace {

int64_t micros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

int64_t wallMicros() { return micros(CLOCK_REALTIME); }

int64_t monoMicros() { return micros(CLOCK_MONOTONIC); }

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
