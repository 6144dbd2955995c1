// A small host for tests: starts the library with a table of channels, answers
// CHANNEL_EVT_DESCRIBE from per-channel descriptions and records every event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Nerivo.h"

struct HostEvent {
    int channelId;
    int event;
    uint32_t videoCodec = 0;  // of the description passed with the event (as answered, for DESCRIBE)
};

class TestHost {
public:
    TestHost();
    ~TestHost();  // shuts the library down

    // Channels are added before start().
    void addChannel(int channelId, const std::string& streamName, const MEDIA_DESC_T& desc);
    // -1 from the callback for this channel's DESCRIBE.
    void refuseDescribe(int channelId) { fRefused[channelId] = true; }
    // The description answered from now on (also after start()).
    void setDescription(int channelId, const MEDIA_DESC_T& desc);
    // The next DESCRIBE of the channel keeps the server thread inside the
    // callback until releaseDescribe(): nothing else runs on it meanwhile.
    void holdDescribe(int channelId);
    void releaseDescribe();
    int start(uint16_t port, const char* user = nullptr, const char* password = nullptr,
              int authType = 0, bool withCallback = true);

    std::vector<HostEvent> events() const;
    int countEvents(int channelId, int event) const;
    // The channel's events in the order they came.
    std::vector<int> eventsOf(int channelId) const;
    // Waits up to timeoutMs for the event count to reach `count`.
    bool waitForEvents(int channelId, int event, int count, int timeoutMs = 3000) const;

    uint16_t port() const { return fPort; }

    // An H.264 description with a small valid SPS/PPS, audio optional.
    static MEDIA_DESC_T h264Description(uint32_t audioCodec = 0, uint32_t rate = 8000,
                                        uint32_t channels = 1, uint32_t bits = 0);

private:
    static int callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr);

    std::vector<CHANNEL_INFO_T> fChannels;
    std::map<int, MEDIA_DESC_T> fDescriptions;
    std::map<int, bool> fRefused;
    int fHeldChannel = -1;
    bool fHolding = false;
    std::condition_variable fReleased;
    mutable std::mutex fMutex;
    std::vector<HostEvent> fEvents;
    uint16_t fPort = 0;
};
