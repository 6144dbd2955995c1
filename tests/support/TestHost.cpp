#include "TestHost.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

TestHost::TestHost() = default;

TestHost::~TestHost() { Nerivo_Shutdown(); }

void TestHost::addChannel(int channelId, const std::string& streamName, const MEDIA_DESC_T& desc) {
    CHANNEL_INFO_T info{};
    info.channel_id = channelId;
    snprintf(info.stream_name, sizeof info.stream_name, "%s", streamName.c_str());
    fChannels.push_back(info);
    fDescriptions[channelId] = desc;
}

int TestHost::start(uint16_t port, const char* user, const char* password, int authType,
                    bool withCallback) {
    fPort = port;
    return Nerivo_Startup(port, authType, nullptr, user, password, withCallback ? callback : nullptr, this,
                          fChannels.data(), static_cast<unsigned>(fChannels.size()));
}

void TestHost::setDescription(int channelId, const MEDIA_DESC_T& desc) {
    std::lock_guard<std::mutex> lock(fMutex);
    fDescriptions[channelId] = desc;
}

void TestHost::holdDescribe(int channelId) {
    std::lock_guard<std::mutex> lock(fMutex);
    fHeldChannel = channelId;
    fHolding = true;
}

void TestHost::releaseDescribe() {
    std::lock_guard<std::mutex> lock(fMutex);
    fHolding = false;
    fHeldChannel = -1;
    fReleased.notify_all();
}

int TestHost::callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr) {
    auto* host = static_cast<TestHost*>(userPtr);
    std::unique_lock<std::mutex> lock(host->fMutex);
    if (event != CHANNEL_EVT_DESCRIBE) {
        host->fEvents.push_back({channelId, event, desc != nullptr ? desc->video_codec : 0});
        return 0;
    }
    int result = -1;
    if (!host->fRefused[channelId]) {
        auto it = host->fDescriptions.find(channelId);
        if (it != host->fDescriptions.end()) {
            *desc = it->second;
            result = 0;
        }
    }
    host->fEvents.push_back({channelId, event, result == 0 ? desc->video_codec : 0});
    if (host->fHolding && host->fHeldChannel == channelId) {
        // Bounded: a test that forgets to release does not hang the server.
        host->fReleased.wait_for(lock, std::chrono::seconds(10), [host] { return !host->fHolding; });
    }
    return result;
}

std::vector<int> TestHost::eventsOf(int channelId) const {
    std::lock_guard<std::mutex> lock(fMutex);
    std::vector<int> list;
    for (const HostEvent& e : fEvents)
        if (e.channelId == channelId) list.push_back(e.event);
    return list;
}

std::vector<HostEvent> TestHost::events() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fEvents;
}

int TestHost::countEvents(int channelId, int event) const {
    std::lock_guard<std::mutex> lock(fMutex);
    int n = 0;
    for (const HostEvent& e : fEvents)
        if (e.channelId == channelId && e.event == event) ++n;
    return n;
}

bool TestHost::waitForEvents(int channelId, int event, int count, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (countEvents(channelId, event) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

MEDIA_DESC_T TestHost::h264Description(uint32_t audioCodec, uint32_t rate, uint32_t channels,
                                       uint32_t bits) {
    static const uint8_t sps[] = {0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8};
    static const uint8_t pps[] = {0x68, 0xCE, 0x38, 0x80};
    MEDIA_DESC_T desc;
    memset(&desc, 0, sizeof desc);
    desc.video_codec = NERIVO_CODEC_H264;
    desc.sps_length = sizeof sps;
    memcpy(desc.sps, sps, sizeof sps);
    desc.pps_length = sizeof pps;
    memcpy(desc.pps, pps, sizeof pps);
    desc.audio_codec = audioCodec;
    desc.audio_sample_rate = audioCodec != 0 ? rate : 0;
    desc.audio_channels = audioCodec != 0 ? channels : 0;
    desc.audio_bits = bits;
    return desc;
}
