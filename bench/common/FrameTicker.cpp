#include "FrameTicker.h"

#include <ctime>

#include "BenchClock.h"

void FrameTicker::start(int64_t periodUs, Tick tick) {
    stop();
    fPeriodUs = periodUs;
    fTick = std::move(tick);
    fStop = false;
    fThread = std::thread(&FrameTicker::run, this);
}

void FrameTicker::stop() {
    fStop = true;
    if (fThread.joinable()) fThread.join();
}

void FrameTicker::run() {
    int64_t originMono = monoMicros();
    int64_t originWall = wallMicros();
    for (uint64_t index = 0; !fStop; ++index) {
        int64_t offset = static_cast<int64_t>(index) * fPeriodUs;
        int64_t due = originMono + offset;
        // Sleep in slices of at most 100 ms so that stop() is honoured soon.
        for (int64_t now = monoMicros(); now < due && !fStop; now = monoMicros()) {
            int64_t wake = due - now > 100000 ? now + 100000 : due;
            timespec at{static_cast<time_t>(wake / 1000000), static_cast<long>(wake % 1000000) * 1000};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
        if (fStop) break;
        int64_t lag = monoMicros() - due;
        if (lag > 1000000) {
            ++fLate;
            originMono += lag;
            originWall += lag;
        }
        fTick(index, originWall + offset);
    }
}
