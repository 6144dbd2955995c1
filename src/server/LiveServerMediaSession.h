// A channel's RTSP session: tells the host when it ends.
#pragma once

#include "Nerivo.h"
#include "rtsp/ServerMediaSession.h"
#include "server/ChannelSlot.h"

class LiveServerMediaSession : public ServerMediaSession {
public:
    static LiveServerMediaSession* createNew(UsageEnvironment& env, CHANNEL_SLOT_T* slot,
                                             char const* description,
                                             SERVER_CALLBACK* serverCallback, void* userPtr);

    CHANNEL_SLOT_T* slot;
    // The server's callback member, read at destruction so that a callback
    // the server has cleared (teardown) is seen.
    SERVER_CALLBACK* server_callback;
    void* user_ptr;

protected:
    LiveServerMediaSession(UsageEnvironment& env, CHANNEL_SLOT_T* slot, char const* description,
                           SERVER_CALLBACK* serverCallback, void* userPtr);
    ~LiveServerMediaSession() override;
};

// Builds the session of the slot's stored description: an H.264 or H.265
// video track first when the codec is known, an audio track when there is an
// audio codec. Null when neither applies or memory runs out.
LiveServerMediaSession* createChannelSession(CHANNEL_SLOT_T* slot, UsageEnvironment& env,
                                             SERVER_CALLBACK* serverCallback, void* userPtr);
