// One TCP connection of an RTSP client. It reads requests incrementally
// (partial and pipelined), hands interleaved '$' frames to its stream socket,
// answers the connection-level methods and passes session methods to the
// client session. All output (responses and interleaved media) goes through
// the connection's TCPStreamSocket so that it keeps its order.
//
// HTTP tunnelling: a GET carrying x-sessioncookie makes the connection the
// tunnel's output; a POST with the same cookie (on another connection or on
// this one) carries Base64-encoded requests, which are decoded and handled
// here as if they had arrived on this connection.
//
// Time-outs (numbers in RTSPServer.h): buffered bytes that complete no
// request within the server's incomplete-request time, and silence (no
// request, no '$' frame, no liveness of a session the connection created)
// for the reclamation time, close the connection. A tunnel's POST counts
// what it carries as activity of both of its connections.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "event/TaskScheduler.h"
#include "rtp/TCPStreamSocket.h"
#include "rtsp/Authenticator.h"
#include "rtsp/Base64StreamDecoder.h"
#include "rtsp/RTSPRequest.h"

class RTSPServer;
class RTSPClientSession;
class ServerMediaSession;

class RTSPClientConnection final : private TCPStreamSocketClient {
public:
    // Takes over clientSocket (closed by the destructor); null on failure.
    static RTSPClientConnection* createNew(RTSPServer& server, int clientSocket,
                                           sockaddr_in const& clientAddr);
    // Ends the TCP streams registered on the socket, drops the stream socket,
    // closes the descriptor and the tunnel partner.
    ~RTSPClientConnection();

    RTSPClientConnection(const RTSPClientConnection&) = delete;
    RTSPClientConnection& operator=(const RTSPClientConnection&) = delete;

    RTSPServer& server() const { return fServer; }
    // Serial number given by the server; never reused while it runs.
    uint64_t connectionId() const { return fConnectionId; }
    int socketNum() const { return fSocket; }
    // Gives the descriptor back to the caller before the connection is
    // deleted (a connection that could not be registered).
    void releaseSocket() { fSocket = -1; }
    // The client showed it is there: restarts the silence time-out.
    void noteActivity();
    sockaddr_in const& clientAddr() const { return fClientAddr; }
    TCPStreamSocket* streamSocket() const { return fStreamSocket; }

    // The response being prepared for the current request; written to the
    // client once its handler returns.
    std::string& response() { return fResponse; }
    // The current request's CSeq (empty when it has none).
    std::string const& currentCSeq() const { return fCurrentCSeq; }

    // Bytes as if read from the socket: requests and '$' frames (the decoded
    // stream of a tunnel's POST connection; tests and fuzzing). The
    // connection may close itself (and be deleted) inside the call.
    void handleIncomingBytes(const uint8_t* data, size_t size);
    // Reads what the socket holds now, as the read handler does; may delete
    // the connection likewise.
    void readSocket();

    // Largest amount of unprocessed input held: a complete request with its
    // body, or a complete '$' frame, always fits.
    static constexpr size_t kInputCapacity = kMaxRequestSize + kMaxContentLength;
    static_assert(kInputCapacity >= 4 + 65535, "a whole '$' frame must fit");

private:
    RTSPClientConnection(RTSPServer& server, int clientSocket, sockaddr_in const& clientAddr);
    bool init();

    static void readHandler(void* clientData, int mask);
    void readFromSocket();
    void readTunnelPost();

    // Processing of buffered input.
    void processInput();
    enum class Step { Consumed, NeedMore, Stop };
    Step processOne(size_t& offset);
    Step processInterleavedFrame(size_t& offset);
    Step processRequest(size_t& offset);
    Step processTunnelPost(size_t& offset);
    void handleRequest(RTSPRequest const& request);
    void handleRTSPRequest(RTSPRequest const& request);
    void handleHTTPRequest(RTSPRequest const& request);
    void handleTunnelPost(RTSPRequest const& request, size_t& offset);
    void sendResponse();
    void runStartStep(RTSPRequest const& request, uint32_t sessionId, bool afterSetup);

    // Method handlers.
    void handleCmd_OPTIONS();
    void handleCmd_DESCRIBE(RTSPRequest const& request);
    void handleCmd_SETUP(RTSPRequest const& request, bool& startAfterResponse,
                         uint32_t& sessionId);
    void handleCmd_withinSession(RTSPRequest const& request, bool& startAfterResponse,
                                 uint32_t& sessionId);
    void handleCmd_sessionless(RTSPRequest const& request);
    bool authorizationOK(RTSPRequest const& request, std::string const& urlSuffix);
    // A request naming a session that another connection created passes only
    // with credentials (while accounts exist); on refusal fResponse holds
    // the answer.
    bool mayUseSession(RTSPClientSession const& session, RTSPRequest const& request);

    // A request that must wait (its session is being described further up
    // the stack) stays buffered and is tried again shortly.
    static void retryDeferred(void* clientData);
    bool mustWaitFor(ServerMediaSession* session) const;

    // The stream socket failed (a send error or a full backlog): the
    // connection goes, from a task of its own.
    void streamSocketGone(TCPStreamSocket* socket) override;
    void incomingInterleavedFrame(TCPStreamSocket*, uint8_t, const uint8_t*, size_t) override {}
    static void closeAfterFailure(void* clientData);

    // Closing, deferred while a handler of this connection runs.
    void requestClose();
    bool busy() const { return fDepth > 0; }
    void enter() { ++fDepth; }
    // Leaves a handler; deletes the connection when a close was requested and
    // nothing of it runs any more. False when it was deleted.
    bool leave();
    void pauseReading();
    void resumeReading();

    // Time-outs.
    void noteInputState(bool progressed);
    int64_t nextDeadline() const;
    void armTimeout(int64_t minimumDelay = 0);
    static void timeoutCheck(void* clientData);

    RTSPClientSession* lookupSession(std::string_view sessionId) const;

    // Tunnels.
    void feedTunnelBytes(const char* chars, size_t size);
    void detachTunnel();
    static void decodedSink(void* clientData, const uint8_t* data, size_t size);

    RTSPServer& fServer;
    uint64_t fConnectionId;
    int fSocket;
    sockaddr_in fClientAddr;
    TCPStreamSocket* fStreamSocket = nullptr;
    Authenticator fAuthenticator;

    std::vector<uint8_t> fInput;  // grows up to kInputCapacity
    size_t fInputLength = 0;      // unprocessed bytes (requests and '$' frames)
    std::string fRequestCopy;     // the request being handled (views point here)
    std::string fResponse;
    std::string fCurrentCSeq;

    unsigned fDepth = 0;
    bool fCloseRequested = false;
    bool fReadPaused = false;
    bool fDeferRequest = false;  // set by a handler: keep the request for later
    TaskToken fRetryTask = nullptr;
    TaskToken fFailureTask = nullptr;

    uint64_t fUnitsProcessed = 0;     // requests and '$' frames taken from the input
    int64_t fLastActivityUs = 0;
    int64_t fIncompleteSinceUs = 0;   // 0: no incomplete input
    TaskToken fTimeoutTask = nullptr;
    int64_t fTimeoutDueUs = 0;

    // Tunnel state: fTunnelCookie is set on the GET (output) connection;
    // fTunnelOutput on a POST connection names the GET connection, and
    // fTunnelInput on the GET connection its POST connection (either may be
    // this connection itself).
    std::string fTunnelCookie;
    RTSPClientConnection* fTunnelOutput = nullptr;
    RTSPClientConnection* fTunnelInput = nullptr;
    Base64StreamDecoder fDecoder;
};
