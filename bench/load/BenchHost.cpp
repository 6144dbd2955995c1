#include "BenchHost.h"

#include <cstdio>

#include "BenchClock.h"

BenchHost::BenchHost(const StreamFile& file, unsigned channels, bool idle)
    : fFile(file), fIdle(idle), fState(new std::atomic<uint8_t>[channels]), fPosition(channels, 0) {
    for (unsigned i = 0; i < channels; ++i) {
        CHANNEL_INFO_T info{};
        info.channel_id = static_cast<int32_t>(i);
        snprintf(info.stream_name, sizeof info.stream_name, "ch%u", i);
        fChannels.push_back(info);
        fState[i] = kStopped;
    }
}

BenchHost::~BenchHost() { stop(); }

int BenchHost::start(uint16_t port) {
    int result = Nerivo_Startup(port, 0, nullptr, nullptr, nullptr, callback, this, fChannels.data(),
                                static_cast<unsigned>(fChannels.size()));
    if (result != 0) return result;
    fStarted = true;
    fTicker.start(40000, [this](uint64_t, int64_t dueWallUs) { onTick(dueWallUs); });
    return 0;
}

void BenchHost::stop() {
    fTicker.stop();
    if (fStarted) Nerivo_Shutdown();
    fStarted = false;
}

int BenchHost::callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr) {
    auto* host = static_cast<BenchHost*>(userPtr);
    if (channelId < 0 || static_cast<size_t>(channelId) >= host->fChannels.size()) return -1;
    switch (event) {
    case CHANNEL_EVT_DESCRIBE:
        if (desc == nullptr) return -1;
        *desc = host->fFile.description();
        return 0;
    case CHANNEL_EVT_PLAY: host->fState[channelId] = kStarting; return 0;
    case CHANNEL_EVT_STOP: host->fState[channelId] = kStopped; return 0;
    default: return 0;
    }
}

void BenchHost::onTick(int64_t dueWallUs) {
    if (fIdle) return;
    int64_t start = wallMicros();
    if (start - dueWallUs > fLongestLagUs.load()) fLongestLagUs = start - dueWallUs;
    for (size_t i = 0; i < fChannels.size(); ++i) {
        uint8_t state = fState[i].load(std::memory_order_acquire);
        if (state == kStopped) continue;
        if (state == kStarting) {
            fPosition[i] = 0;
            uint8_t expected = kStarting;
            fState[i].compare_exchange_strong(expected, kPlaying);
        }
        pushAccessUnit(static_cast<int>(i), fFile.at(fPosition[i]++), wallMicros());
    }
    int64_t took = wallMicros() - start;
    if (took > fLongestTickUs.load()) fLongestTickUs = took;
}

void BenchHost::pushAccessUnit(int channel, const AccessUnit& au, int64_t stampUs) {
    for (size_t k = 0; k < au.units.size(); ++k) {
        PUSH_FRAME_T frame{};
        frame.media_type = NERIVO_MEDIA_VIDEO;
        frame.length = static_cast<uint32_t>(au.units[k].size);
        frame.frame_type = au.frameTypes[k];
        frame.data = au.units[k].data;
        frame.timestamp_sec = static_cast<uint32_t>(stampUs / 1000000);
        frame.timestamp_usec = static_cast<uint32_t>(stampUs % 1000000);
        int64_t before = monoMicros();
        int result = Nerivo_PushFrame(channel, &frame);
        int64_t took = monoMicros() - before;
        if (took > fLongestPushUs.load()) fLongestPushUs = took;
        if (result == 0) ++fPushed;
        else ++fRefused;
    }
}
