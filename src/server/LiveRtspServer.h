// The library's RTSP server: the RTSP server of the stack plus the channel
// table that host threads push frames into, and the on-demand building of a
// channel's session when a client first asks for it.
#pragma once

#include "Nerivo.h"
#include "rtsp/RTSPServer.h"
#include "server/ChannelSlot.h"

class LiveServerMediaSession;

class LiveRtspServer : public RTSPServer {
public:
    static LiveRtspServer* createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                     UserAuthenticationDatabase* authDatabase,
                                     const CHANNEL_INFO_T* channels, int channelCount,
                                     SERVER_CALLBACK callback, void* userPtr);

    // Host threads: 0, -1 bad argument / unknown channel / reset pending, -2 no table.
    int pushFrame(int channel_id, const PUSH_FRAME_T* frame);
    // Host threads: 0, -1 bad argument, -2 no table, -3 unknown channel.
    int resetChannel(int channel_id);
    // Server thread, after every scheduler step: -1 without a table, else 0.
    int sweepResetChannels();

    ServerMediaSession* lookupServerMediaSession(char const* streamName,
                                                 bool isFirstLookupInSession = true) override;

protected:
    LiveRtspServer(UsageEnvironment& env, int ourSocket, uint16_t port,
                   UserAuthenticationDatabase* authDatabase, const CHANNEL_INFO_T* channels,
                   int channelCount, SERVER_CALLBACK callback, void* userPtr);
    ~LiveRtspServer() override;

    void serverMediaSessionAdded(ServerMediaSession* session) override;
    void serverMediaSessionRemoved(ServerMediaSession* session) override;

private:
    CHANNEL_SLOT_T* findSlot(int channel_id) const;
    CHANNEL_SLOT_T* selectSlot(char const* streamName) const;
    CHANNEL_SLOT_T* slotOfSession(ServerMediaSession* session) const;
    bool describeChannel(CHANNEL_SLOT_T* slot);
    bool replaceQueues(CHANNEL_SLOT_T* slot);
    bool prepareLiveSource(CHANNEL_SLOT_T* slot);
    void resetSlot(CHANNEL_SLOT_T* slot);
    void dismantleTable();

    int channel_count = 0;
    CHANNEL_SLOT_T* channels = nullptr;
    SERVER_CALLBACK callback = nullptr;
    void* user_ptr = nullptr;
    std::atomic<bool> fResetsRequested{false};  // some slot has a reset for the sweep
};
