// A host thread that pushes a schedule of units into one channel at their
// presentation times, each stamped with a wall-clock base plus its offset.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "MediaStreams.h"

// Pushes one unit stamped base + unit.ptsUs; the result of Nerivo_PushFrame.
int pushUnit(int channelId, const PushUnit& unit, const timeval& base);

class FramePusher {
public:
    // The units are pushed in the given order, each no earlier than its
    // offset after start().
    FramePusher(int channelId, std::vector<PushUnit> units);
    ~FramePusher();  // joins
    FramePusher(const FramePusher&) = delete;
    FramePusher& operator=(const FramePusher&) = delete;

    void start();
    void join();
    int failures() const { return fFailures.load(); }  // non-zero results
    const timeval& base() const { return fBase; }

private:
    void run();

    int fChannelId;
    std::vector<PushUnit> fUnits;
    timeval fBase{};
    std::atomic<int> fFailures{0};
    std::thread fThread;
};
