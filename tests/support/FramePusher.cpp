#include "FramePusher.h"

#include <chrono>

int pushUnit(int channelId, const PushUnit& unit, const timeval& base) {
    int64_t usec = static_cast<int64_t>(base.tv_usec) + unit.ptsUs;
    PUSH_FRAME_T frame{};
    frame.media_type = unit.mediaType;
    frame.length = static_cast<uint32_t>(unit.data.size());
    frame.frame_type = unit.frameType;
    frame.data = unit.data.data();
    frame.timestamp_sec = static_cast<uint32_t>(base.tv_sec + usec / 1000000);
    frame.timestamp_usec = static_cast<uint32_t>(usec % 1000000);
    return Nerivo_PushFrame(channelId, &frame);
}

FramePusher::FramePusher(int channelId, std::vector<PushUnit> units)
    : fChannelId(channelId), fUnits(std::move(units)) {}

FramePusher::~FramePusher() { join(); }

void FramePusher::start() {
    gettimeofday(&fBase, nullptr);
    fThread = std::thread([this] { run(); });
}

void FramePusher::join() {
    if (fThread.joinable()) fThread.join();
}

void FramePusher::run() {
    auto start = std::chrono::steady_clock::now();
    for (const PushUnit& unit : fUnits) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(unit.ptsUs));
        if (pushUnit(fChannelId, unit, fBase) != 0) fFailures++;
    }
}
