// The library's RTSP server: the RTSP server of the stack plus the channel
// table that host threads push frames into.
#pragma once

#include "Nerivo.h"
#include "rtsp/RTSPServer.h"

class LiveRtspServer : public RTSPServer {
public:
    static LiveRtspServer* createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                     UserAuthenticationDatabase* authDatabase,
                                     const CHANNEL_INFO_T* channels, int channelCount,
                                     SERVER_CALLBACK callback, void* userPtr);

    // Host threads.
    int pushFrame(int channel_id, const PUSH_FRAME_T* frame);
    int resetChannel(int channel_id);
    // Server thread, after every scheduler step.
    int sweepResetChannels();

protected:
    LiveRtspServer(UsageEnvironment& env, int ourSocket, uint16_t port,
                   UserAuthenticationDatabase* authDatabase, const CHANNEL_INFO_T* channels,
                   int channelCount, SERVER_CALLBACK callback, void* userPtr);
    ~LiveRtspServer() override;

private:
    const CHANNEL_INFO_T* findChannel(int channel_id) const;

    int channel_count = 0;
    CHANNEL_INFO_T* channels = nullptr;
    SERVER_CALLBACK callback = nullptr;
    void* user_ptr = nullptr;
};
