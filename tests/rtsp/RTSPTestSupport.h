// A test RTSP server on the loopback interface, driven step by step from the
// test thread, with a scripted client and a fake track.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "rtsp/RTSPServer.h"
#include "rtsp/ServerMediaSession.h"

// A track that records what the server asks of it. Over TCP, starting a
// stream writes one '$' frame (as an RTCP sender report would) to the client.
class FakeSubsession : public ServerMediaSubsession {
public:
    static FakeSubsession* createNew(UsageEnvironment& env);

    char const* sdpLines() override;
    void getStreamParameters(unsigned clientSessionId, uint32_t clientAddress,
                             uint16_t clientRTPPort, uint16_t clientRTCPPort, int tcpSocketNum,
                             uint8_t rtpChannelId, uint8_t rtcpChannelId, uint16_t& serverRTPPort,
                             uint16_t& serverRTCPPort, void*& streamToken) override;
    void startStream(unsigned clientSessionId, void* streamToken, TaskFunc* rtcpRRHandler,
                     void* rtcpRRHandlerClientData, uint16_t& rtpSeqNum,
                     uint32_t& rtpTimestamp) override;
    void pauseStream(unsigned clientSessionId, void* streamToken) override;
    void deleteStream(unsigned clientSessionId, void*& streamToken) override;

    struct Stream {
        unsigned clientSessionId = 0;
        int tcpSocketNum = -1;
        uint8_t rtpChannelId = 0;
        uint8_t rtcpChannelId = 0;
        uint16_t clientRTPPort = 0;
    };
    int streamsSetUp = 0;
    int starts = 0;
    int pauses = 0;
    int deletes = 0;
    Stream lastStream;
    TaskFunc* rrHandler = nullptr;
    void* rrClientData = nullptr;
    // Live FakeSubsession objects, process-wide.
    static int liveCount;

protected:
    explicit FakeSubsession(UsageEnvironment& env);
    ~FakeSubsession() override;

private:
    std::string fSDPLines;
};

// Counts the add/remove hooks and can refuse access.
class TestRTSPServer : public RTSPServer {
public:
    static TestRTSPServer* createNew(UsageEnvironment& env, int socket, uint16_t port,
                                     UserAuthenticationDatabase* db, unsigned reclamation);

    bool refuseClient = false;  // specialClientAccessCheck
    bool refuseUser = false;    // specialClientUserAccessCheck
    std::string lastCheckedUser;
    std::string uncheckedMethod;  // getAuthenticationDatabaseForCommand gives null
    int added = 0;
    int removed = 0;

protected:
    using RTSPServer::RTSPServer;
    bool specialClientAccessCheck(int clientSocket, sockaddr_in const& clientAddr,
                                  char const* urlSuffix) override;
    bool specialClientUserAccessCheck(int clientSocket, sockaddr_in const& clientAddr,
                                      char const* urlSuffix, char const* username) override;
    UserAuthenticationDatabase* getAuthenticationDatabaseForCommand(char const* cmdName) override;
    void serverMediaSessionAdded(ServerMediaSession* session) override;
    void serverMediaSessionRemoved(ServerMediaSession* session) override;
};

class TestServer {
public:
    explicit TestServer(UserAuthenticationDatabase* db = nullptr, unsigned reclamation = 65);
    ~TestServer();

    // Registers a session of `tracks` fake tracks under `name`.
    ServerMediaSession* addSession(char const* name, int tracks = 1);
    FakeSubsession* track(ServerMediaSession* session, unsigned index);

    void step(unsigned maxMicroseconds = 2000) { fScheduler->SingleStep(maxMicroseconds); }
    // Steps until pred() holds or timeoutMs passed; returns pred().
    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 3000);
    // Steps for about ms milliseconds.
    void runFor(int ms);

    UsageEnvironment& env() { return *fEnv; }
    TestRTSPServer& server() { return *fServer; }
    BasicTaskScheduler& scheduler() { return *fScheduler; }
    uint16_t port() const { return fPort; }
    std::string url(std::string const& path) const;

private:
    BasicTaskScheduler* fScheduler;
    BasicUsageEnvironment* fEnv;
    TestRTSPServer* fServer = nullptr;
    uint16_t fPort = 0;
};

// A scripted client on its own TCP connection.
class TestClient {
public:
    explicit TestClient(TestServer& server);
    ~TestClient();

    void send(std::string const& bytes);
    // One whole response (head and Content-Length body); empty on time-out
    // or when the server closed the connection.
    std::string readResponse(int timeoutMs = 3000);
    // Exactly n raw bytes (fewer on time-out).
    std::string readBytes(size_t n, int timeoutMs = 3000);
    // Sends a request with "CSeq: <n>" and the extra header lines, and reads
    // the answer.
    std::string request(std::string const& method, std::string const& url,
                        std::string const& extraHeaders = "");
    // True when the server closes the connection within the time.
    bool waitClosed(int timeoutMs = 3000);
    // Closes the client side.
    void close();
    int fd() const { return fFd; }
    // Whatever has been read but not yet consumed.
    std::string& pending() { return fBuffer; }

private:
    bool fill(int timeoutMs);
    TestServer& fServer;
    int fFd = -1;
    int fCSeq = 0;
    bool fEOF = false;
    std::string fBuffer;
};

// Response helpers.
std::string statusLine(std::string const& response);
// Value of the first header of that name (empty when none).
std::string headerValue(std::string const& response, std::string const& name);
// The session id of a SETUP response ("Session: XXXXXXXX;timeout=...").
std::string sessionIdOf(std::string const& response);
std::string bodyOf(std::string const& response);
