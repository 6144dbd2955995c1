// Calls a function on a thread of its own at a fixed period, at absolute due
// times (no drift), with the frame index and the due time on the wall clock.
// A tick that is late by more than a second moves the schedule on instead of
// catching up in a burst.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class FrameTicker {
public:
    using Tick = std::function<void(uint64_t index, int64_t dueWallUs)>;

    FrameTicker() = default;
    ~FrameTicker() { stop(); }
    FrameTicker(const FrameTicker&) = delete;
    FrameTicker& operator=(const FrameTicker&) = delete;

    void start(int64_t periodUs, Tick tick);
    void stop();
    uint64_t lateTicks() const { return fLate.load(); }

private:
    void run();

    int64_t fPeriodUs = 40000;
    Tick fTick;
    std::atomic<bool> fStop{false};
    std::atomic<uint64_t> fLate{0};
    std::thread fThread;
};
