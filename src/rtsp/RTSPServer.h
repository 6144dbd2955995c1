// The RTSP server: the listening socket, the client connections and sessions,
// and the table of registered media sessions. Everything runs on the server
// thread.
//
// Limits: what peers can make the server hold or spend.
//   request head (line, headers, blank line)  8192 bytes     kMaxRequestSize
//   header lines per request                  64             kMaxHeaderCount
//   one request or header line                2048 bytes     kMaxHeaderLineLength
//   request body (Content-Length)             65536 bytes    kMaxContentLength
//   unprocessed input per connection          73728 bytes    RTSPClientConnection::kInputCapacity
//   Basic token / user or password            127 / 35 bytes kMaxBasicTokenLength, kMaxBasicFieldLength
//   Digest parameter value                    255 bytes      kMaxDigestValueLength
//   tunnel cookie                             255 bytes
//   TCP output backlog per connection         4 MiB          TCPStreamSocket::kDefaultBacklogLimit
//   client connections                        4096           kDefaultMaxClientConnections
//   incomplete request                        10 s           kDefaultIncompleteRequestMs
//   silent connection                         reclamationSeconds() (65 s)
//   accepts per readiness event               64
// Beyond the first five the request is answered "400 Bad Request" and the
// connection closed; a full backlog drops the connection. A connection beyond
// the limit is accepted and reset at once. A connection whose buffered bytes
// have not completed a request within the incomplete-request time, or that
// has completed no request or '$' frame (and whose client sessions have seen
// no liveness) for the reclamation time, is closed. When accept() runs out
// of descriptors or memory, accepting pauses for kAcceptPauseMs and the
// waiting connections stay in the listen queue.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "event/Medium.h"
#include "event/TaskScheduler.h"

class RTSPClientConnection;
class RTSPClientSession;
class ServerMediaSession;
class UserAuthenticationDatabase;

class RTSPServer : public Medium {
public:
    // A non-blocking, close-on-exec IPv4 TCP socket listening on `port` (backlog
    // 20, no address reuse, send buffer raised to kSocketSendBufferSize).
    // -1 on failure, with the reason in env's result message.
    static int setUpOurSocket(UsageEnvironment& env, uint16_t port);

    // Takes over `ourSocket` (closed by the destructor). authDatabase may be
    // null (every request allowed); it is not owned.
    static RTSPServer* createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                 UserAuthenticationDatabase* authDatabase,
                                 unsigned reclamationSeconds = 65);

    // Send buffer asked for on the listening and on every accepted socket.
    static constexpr int kSocketSendBufferSize = 0x80000;

    static constexpr size_t kDefaultMaxClientConnections = 4096;
    static constexpr unsigned kDefaultIncompleteRequestMs = 10000;
    static constexpr unsigned kAcceptPauseMs = 100;

    bool isRTSPServer() const override { return true; }

    // The session a request names, or null. The default looks the name up
    // among the registered sessions.
    virtual ServerMediaSession* lookupServerMediaSession(char const* streamName,
                                                         bool isFirstLookupInSession = true);
    // Exact lookup among the registered sessions (null when absent).
    ServerMediaSession* findRegisteredSession(char const* streamName) const;

    // Registers the session under its name, removing first any other session
    // registered under that name. Null is ignored.
    void addServerMediaSession(ServerMediaSession* session);
    // Unregisters the session; it is destroyed now when no client session
    // references it, else when its last client session ends.
    void removeServerMediaSession(ServerMediaSession* session);
    void removeServerMediaSession(char const* streamName);
    // Ends every client session that set the session up.
    void closeAllClientSessionsForServerMediaSession(ServerMediaSession* session);
    // Both of the above.
    void deleteServerMediaSession(ServerMediaSession* session);

    // Client sessions idle for this long are reclaimed; 0 disables reclamation.
    // A change applies to liveness timers started afterwards.
    unsigned reclamationSeconds() const { return fReclamationSeconds; }
    void setReclamationSeconds(unsigned seconds) { fReclamationSeconds = seconds; }

    // Connections beyond this many are refused (reset as soon as accepted).
    size_t maxClientConnections() const { return fMaxConnections; }
    void setMaxClientConnections(size_t limit) { fMaxConnections = limit; }
    // Buffered input that does not complete a request within this time closes
    // its connection; 0 disables the limit.
    unsigned incompleteRequestTimeoutMs() const { return fIncompleteRequestMs; }
    void setIncompleteRequestTimeout(unsigned milliseconds) { fIncompleteRequestMs = milliseconds; }

    uint16_t port() const { return fPort; }
    int socketNum() const { return fServerSocket; }
    UserAuthenticationDatabase* authDatabase() const { return fAuthDB; }
    // Replaces the account table (not owned); returns the previous one.
    UserAuthenticationDatabase* setAuthenticationDatabase(UserAuthenticationDatabase* db);

    // "rtsp://<address>:<port>/<stream name>/", the address being the local
    // address of clientSocket when given, else the first non-loopback one.
    std::string rtspURLPrefix(int clientSocket = -1) const;
    std::string rtspURL(ServerMediaSession const* session, int clientSocket = -1) const;

    // Serves an already connected socket as a client connection (as accepted
    // ones are); the connection owns it then. Null (socket not taken) on
    // failure. The connection may close itself at any later event.
    RTSPClientConnection* addClientConnection(int socketNum, sockaddr_in const& clientAddr);

    // Session ids come from the system's random source; after this call they
    // follow a fixed sequence instead (tests and fuzzing).
    void setSessionIdSeed(uint32_t seed);

    size_t numClientConnections() const { return fConnections.size(); }
    size_t numClientSessions() const { return fClientSessions.size(); }
    size_t numRegisteredSessions() const { return fSessions.size(); }

protected:
    RTSPServer(UsageEnvironment& env, int ourSocket, uint16_t port,
               UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds);
    // Closes every client session and connection, then removes and destroys
    // every registered session. The add/remove hooks are not called from here
    // (a subclass is already gone by then).
    ~RTSPServer() override;

    // Access-check hooks, asked for DESCRIBE and for a SETUP that creates a
    // session. The first runs before any credentials are looked at; the second
    // after a successful Digest check. Both allow by default.
    virtual bool specialClientAccessCheck(int clientSocket, sockaddr_in const& clientAddr,
                                          char const* urlSuffix);
    virtual bool specialClientUserAccessCheck(int clientSocket, sockaddr_in const& clientAddr,
                                              char const* urlSuffix, char const* username);
    // The account table for a method (default: the server's one table).
    virtual UserAuthenticationDatabase* getAuthenticationDatabaseForCommand(char const* cmdName);

    // Told when a session enters or leaves the table of registered sessions.
    virtual void serverMediaSessionAdded(ServerMediaSession* session);
    virtual void serverMediaSessionRemoved(ServerMediaSession* session);

private:
    friend class RTSPClientConnection;
    friend class RTSPClientSession;
    friend class ServerMediaSession;

    static void incomingConnectionHandler(void* clientData, int mask);
    void acceptConnections();
    // Out of descriptors or memory: the listening socket rests a while, so
    // that a readable listen queue does not spin the loop.
    void pauseAccepting(int err);
    static void resumeAccepting(void* clientData);
    void refuseConnection(int socketNum);
    void unregisterSession(ServerMediaSession* session);

    // Client sessions (ids are random, non-zero and unique), each owned by
    // the connection that created it.
    RTSPClientSession* createClientSession(uint64_t ownerConnectionId);
    uint32_t nextSessionId();
    RTSPClientSession* lookupClientSession(uint32_t sessionId) const;
    void clientSessionDeleted(uint32_t sessionId);

    // Connections, by their serial number (never reused).
    uint64_t takeConnectionId() { return fNextConnectionId++; }
    void connectionDeleted(RTSPClientConnection* connection);
    // A client session of the connection showed liveness: the connection is
    // not silent.
    void noteConnectionActivity(uint64_t connectionId);

    // A server session's last client session ended, or a hold ended.
    void sessionUnreferenced(ServerMediaSession* session);
    // Keeps a session alive while a request works on it.
    void holdSession(ServerMediaSession* session);
    void releaseSession(ServerMediaSession* session);
    // The same while its description is generated (which may run the event
    // loop); meanwhile other requests for it wait.
    void beginDescribe(ServerMediaSession* session);
    void endDescribe(ServerMediaSession* session);
    bool isBeingDescribed(ServerMediaSession const* session) const;

    // Tracks streamed over a TCP socket, ended when that socket's connection
    // closes.
    void registerTCPStream(int socketNum, uint32_t sessionId, unsigned trackNum);
    void unregisterTCPStream(int socketNum, uint32_t sessionId, unsigned trackNum);
    void endTCPStreams(int socketNum);

    // HTTP tunnels: the GET connection of each session cookie.
    bool registerTunnel(std::string const& cookie, RTSPClientConnection* getConnection);
    RTSPClientConnection* lookupTunnel(std::string const& cookie) const;
    void unregisterTunnel(std::string const& cookie, RTSPClientConnection* getConnection);

    int fServerSocket;
    uint16_t fPort;
    UserAuthenticationDatabase* fAuthDB;
    unsigned fReclamationSeconds;
    size_t fMaxConnections = kDefaultMaxClientConnections;
    unsigned fIncompleteRequestMs = kDefaultIncompleteRequestMs;
    bool fDestroying = false;
    TaskToken fAcceptResumeTask = nullptr;
    bool fAcceptTroubleLogged = false;  // one log line per episode
    bool fLimitLogged = false;
    uint64_t fNextConnectionId = 1;

    std::unique_ptr<std::mt19937> fSessionIdSequence;
    std::map<std::string, ServerMediaSession*> fSessions;
    std::unordered_map<uint64_t, RTSPClientConnection*> fConnections;
    std::unordered_map<uint32_t, RTSPClientSession*> fClientSessions;
    struct TCPStreamEntry {
        uint32_t sessionId;
        unsigned trackNum;
    };
    std::multimap<int, TCPStreamEntry> fTCPStreams;
    std::map<std::string, RTSPClientConnection*> fTunnels;
};
