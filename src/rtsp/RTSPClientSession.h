// One RTSP session of a client (its "Session:" id): the stream state of each
// track it set up, and a liveness timer reset by every request and every RTCP
// receiver report. Streams start in handleCmd_RTCP, which the connection runs
// after it has written the PLAY (or play-now SETUP) response.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event/TaskScheduler.h"

class RTSPClientConnection;
class RTSPServer;
class ServerMediaSession;
class ServerMediaSubsession;
struct RTSPRequest;

class RTSPClientSession {
public:
    // ownerConnectionId: the connection that created the session (see
    // ownerConnectionId()).
    static RTSPClientSession* createNew(RTSPServer& server, uint32_t sessionId,
                                        uint64_t ownerConnectionId);
    // Ends every stream, then releases the media session (which is destroyed
    // when this was its last client session).
    virtual ~RTSPClientSession();

    RTSPClientSession(const RTSPClientSession&) = delete;
    RTSPClientSession& operator=(const RTSPClientSession&) = delete;

    // The request handlers write their answer into connection->response().
    // urlPreSuffix and urlSuffix are the request URL's last two path parts.
    virtual void handleCmd_SETUP(RTSPClientConnection* connection, std::string const& urlPreSuffix,
                                 std::string const& urlSuffix, RTSPRequest const& request);
    // Resolves the URL to one track or the whole session and runs cmdName:
    // "TEARDOWN", "PLAY", "RTCP", "PAUSE", "GET_PARAMETER" or "SET_PARAMETER".
    // TEARDOWN may delete the session.
    virtual void handleCmd_withinSession(RTSPClientConnection* connection, char const* cmdName,
                                         std::string const& urlPreSuffix,
                                         std::string const& urlSuffix, RTSPRequest const& request);
    // `subsession` null addresses every track.
    virtual void handleCmd_TEARDOWN(RTSPClientConnection* connection,
                                    ServerMediaSubsession* subsession, RTSPRequest const& request);
    virtual void handleCmd_PLAY(RTSPClientConnection* connection, ServerMediaSubsession* subsession,
                                RTSPRequest const& request);
    // The start step: registers the tracks streamed over the connection's
    // socket, then starts the addressed tracks. Writes no response.
    virtual void handleCmd_RTCP(RTSPClientConnection* connection, ServerMediaSubsession* subsession,
                                RTSPRequest const& request);
    virtual void handleCmd_PAUSE(RTSPClientConnection* connection, ServerMediaSubsession* subsession,
                                 RTSPRequest const& request);
    virtual void handleCmd_GET_PARAMETER(RTSPClientConnection* connection,
                                         ServerMediaSubsession* subsession,
                                         RTSPRequest const& request);
    virtual void handleCmd_SET_PARAMETER(RTSPClientConnection* connection,
                                         ServerMediaSubsession* subsession,
                                         RTSPRequest const& request);

    uint32_t sessionId() const { return fSessionId; }
    // The connection that created the session. While accounts exist, other
    // connections reach the session only with credentials that pass.
    uint64_t ownerConnectionId() const { return fOwnerConnectionId; }
    ServerMediaSession* serverMediaSession() const { return fServerMediaSession; }
    // Tracks currently set up.
    unsigned numStreamsSetUp() const;
    // True once a stream of the track has been started (and not paused).
    bool isTrackStreaming(unsigned trackNum) const;

    // Restarts the liveness timer; the owning connection counts as active.
    void noteLiveness();

protected:
    RTSPClientSession(RTSPServer& server, uint32_t sessionId, uint64_t ownerConnectionId);

private:
    friend class RTSPServer;

    struct StreamState {
        ServerMediaSubsession* subsession = nullptr;
        void* streamToken = nullptr;
        bool setUp = false;
        bool streaming = false;
        int tcpSocketNum = -1;  // -1 for UDP
        uint8_t rtpChannelId = 0;
        uint8_t rtcpChannelId = 0;
    };

    static void livenessTimeout(void* clientData);
    static void rtcpReceiverReport(void* clientData);

    // Track resolution for requests within the session. False when the URL
    // names neither the session nor one of its tracks.
    bool resolveTrack(std::string const& urlPreSuffix, std::string const& urlSuffix,
                      ServerMediaSubsession*& subsession) const;
    bool addresses(ServerMediaSubsession* target, StreamState const& stream) const {
        return target == nullptr || target == stream.subsession;
    }
    bool bindServerMediaSession(ServerMediaSession* session);
    bool namesOurSession(std::string const& name) const;
    void endStream(StreamState& stream);
    StreamState* streamOf(unsigned trackNum);

    // The connection holding trackNum's TCP stream closed: the stream ends;
    // false when the session has nothing left and was deleted.
    bool endStreamOnClosedSocket(unsigned trackNum, int socketNum);
    // The connection closed before the tracks on it were played: their streams
    // end; the session stays until its liveness timer ends it.
    void dropStreamsOnSocket(int socketNum);

    RTSPServer& fServer;
    uint32_t fSessionId;
    uint64_t fOwnerConnectionId;
    ServerMediaSession* fServerMediaSession = nullptr;
    std::string fRequestedName;  // the stream name the first SETUP used
    std::vector<StreamState> fStreams;  // index = track number - 1
    TaskToken fLivenessTask = nullptr;
};
