// The library's host for the benchmark: N channels "ch0".."chN-1" serving one
// file. A channel's frames are pushed from CHANNEL_EVT_PLAY until
// CHANNEL_EVT_STOP, one access unit every 40 ms from one pusher thread for all
// channels, stamped with the wall clock when pushed (as appsrc stamps the
// peer's buffers on arrival); each channel starts at the file's
// first IDR picture. With `idle`, nothing is ever pushed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "FrameTicker.h"
#include "Nerivo.h"
#include "StreamFile.h"

class BenchHost {
public:
    BenchHost(const StreamFile& file, unsigned channels, bool idle);
    ~BenchHost();

    // Nerivo_Startup and the pusher; the result of Nerivo_Startup.
    int start(uint16_t port);
    void stop();

    uint64_t pushed() const { return fPushed.load(); }
    uint64_t refused() const { return fRefused.load(); }
    uint64_t lateTicks() const { return fTicker.lateTicks(); }
    // Longest time one tick took to push all channels' units, and the longest
    // delay from a tick's due time to its start, in microseconds.
    int64_t longestTickUs() const { return fLongestTickUs.load(); }
    int64_t longestLagUs() const { return fLongestLagUs.load(); }
    // Longest single Nerivo_PushFrame call.
    int64_t longestPushUs() const { return fLongestPushUs.load(); }

private:
    enum : uint8_t { kStopped = 0, kStarting = 1, kPlaying = 2 };

    static int callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr);
    void onTick(int64_t dueWallUs);
    void pushAccessUnit(int channel, const AccessUnit& au, int64_t stampUs);

    const StreamFile& fFile;
    bool fIdle;
    std::vector<CHANNEL_INFO_T> fChannels;
    std::unique_ptr<std::atomic<uint8_t>[]> fState;  // written by the callback, read by the pusher
    std::vector<uint64_t> fPosition;                 // pusher thread only
    FrameTicker fTicker;
    std::atomic<uint64_t> fPushed{0};
    std::atomic<uint64_t> fRefused{0};
    std::atomic<int64_t> fLongestTickUs{0};
    std::atomic<int64_t> fLongestLagUs{0};
    std::atomic<int64_t> fLongestPushUs{0};
    bool fStarted = false;
};
