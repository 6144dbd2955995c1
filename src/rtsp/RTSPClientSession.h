// One RTSP session of a client (the "Session:" id) with its tracks' streams.
#pragma once

#include <cstdint>

class RTSPServer;
class ServerMediaSession;

class RTSPClientSession {
public:
    static RTSPClientSession* createNew(RTSPServer& server, uint32_t sessionId);
    virtual ~RTSPClientSession();

    uint32_t sessionId() const { return fSessionId; }
    ServerMediaSession* serverMediaSession() const { return fServerMediaSession; }
    // The connection that carried trackNum's stream closed.
    void endStreamOnClosedSocket(unsigned trackNum, int socketNum);

protected:
    RTSPClientSession(RTSPServer& server, uint32_t sessionId);

private:
    RTSPServer& fServer;
    uint32_t fSessionId;
    ServerMediaSession* fServerMediaSession = nullptr;
};
