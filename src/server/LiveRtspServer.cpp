#include "server/LiveRtspServer.h"

#include <cstring>
#include <new>

LiveRtspServer* LiveRtspServer::createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                          UserAuthenticationDatabase* authDatabase,
                                          const CHANNEL_INFO_T* channels, int channelCount,
                                          SERVER_CALLBACK callback, void* userPtr) {
    return new (std::nothrow)
        LiveRtspServer(env, ourSocket, port, authDatabase, channels, channelCount, callback, userPtr);
}

LiveRtspServer::LiveRtspServer(UsageEnvironment& env, int ourSocket, uint16_t port,
                               UserAuthenticationDatabase* authDatabase,
                               const CHANNEL_INFO_T* channelInfo, int channelCount,
                               SERVER_CALLBACK cb, void* userPtr)
    : RTSPServer(env, ourSocket, port, authDatabase, 65), callback(cb), user_ptr(userPtr) {
    if (channelCount > 0) channels = new (std::nothrow) CHANNEL_INFO_T[channelCount];
    if (channels != nullptr) {
        memcpy(channels, channelInfo, sizeof(CHANNEL_INFO_T) * channelCount);
        channel_count = channelCount;
    }
}

LiveRtspServer::~LiveRtspServer() {
    callback = nullptr;
    user_ptr = nullptr;
    delete[] channels;
}

const CHANNEL_INFO_T* LiveRtspServer::findChannel(int channel_id) const {
    for (int i = 0; i < channel_count; ++i)
        if (channels[i].channel_id == channel_id) return &channels[i];
    return nullptr;
}

int LiveRtspServer::pushFrame(int channel_id, const PUSH_FRAME_T* frame) {
    if (channel_id < 0 || frame == nullptr) return -1;
    if (channels == nullptr) return -2;
    if (findChannel(channel_id) == nullptr) return -1;
    return 0;
}

int LiveRtspServer::resetChannel(int channel_id) {
    if (channel_id < 0) return -1;
    if (channels == nullptr) return -2;
    return findChannel(channel_id) == nullptr ? -3 : 0;
}

int LiveRtspServer::sweepResetChannels() { return channels == nullptr ? -1 : 0; }
