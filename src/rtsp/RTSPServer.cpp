#include "rtsp/RTSPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <ctime>

#include "log/Log.h"
#include "rtsp/RTSPClientConnection.h"
#include "rtsp/RTSPClientSession.h"
#include "rtsp/ServerMediaSession.h"
#include "rtp/SocketBuffers.h"
#include "rtsp/SocketUtil.h"

namespace {

constexpr int kListenBacklog = 20;
// Connections accepted per readiness event, so a flood cannot starve the loop.
constexpr int kMaxAcceptsPerEvent = 64;

}  // namespace

int RTSPServer::setUpOurSocket(UsageEnvironment& env, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        env.setResultErrMsg("unable to create stream socket: ");
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int err = errno;
        char text[64];
        snprintf(text, sizeof text, "bind() error (port number: %u): ", port);
        env.setResultErrMsg(text, err);
        ::close(fd);
        return -1;
    }
    if (listen(fd, kListenBacklog) != 0) {
        env.setResultErrMsg("listen() failed: ");
        ::close(fd);
        return -1;
    }
    increaseSendBufferTo(env, fd, kSocketSendBufferSize);
    return fd;
}

RTSPServer* RTSPServer::createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                  UserAuthenticationDatabase* authDatabase,
                                  unsigned reclamationSeconds) {
    if (ourSocket < 0) return nullptr;
    return new (std::nothrow) RTSPServer(env, ourSocket, port, authDatabase, reclamationSeconds);
}

RTSPServer::RTSPServer(UsageEnvironment& env, int ourSocket, uint16_t port,
                       UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds)
    : Medium(env),
      fServerSocket(ourSocket),
      fPort(port),
      fAuthDB(authDatabase),
      fReclamationSeconds(reclamationSeconds) {
    env.taskScheduler().setBackgroundHandling(fServerSocket, SOCKET_READABLE,
                                              incomingConnectionHandler, this);
}

RTSPServer::~RTSPServer() {
    fDestroying = true;
    envir().taskScheduler().unscheduleDelayedTask(fAcceptResumeTask);
    envir().taskScheduler().disableBackgroundHandling(fServerSocket);
    ::close(fServerSocket);

    // Client sessions first: ending their streams needs the connections' sockets.
    while (!fClientSessions.empty()) delete fClientSessions.begin()->second;
    while (!fConnections.empty()) delete fConnections.begin()->second;
    fTCPStreams.clear();
    while (!fSessions.empty()) {
        ServerMediaSession* session = fSessions.begin()->second;
        fSessions.erase(fSessions.begin());
        session->fRegistered = false;
        Medium::close(session);
    }
}

void RTSPServer::incomingConnectionHandler(void* clientData, int /*mask*/) {
    static_cast<RTSPServer*>(clientData)->acceptConnections();
}

void RTSPServer::acceptConnections() {
    for (int i = 0; i < kMaxAcceptsPerEvent; ++i) {
        sockaddr_in clientAddr{};
        socklen_t length = sizeof clientAddr;
        int fd = accept4(fServerSocket, reinterpret_cast<sockaddr*>(&clientAddr), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                pauseAccepting(err);
            }
            return;  // EAGAIN, or an error of that one connection
        }
        if (fAcceptTroubleLogged) {
            fAcceptTroubleLogged = false;
            Log_Write(LOG_WARN, "RTSP server accepts connections again\n");
        }
        if (fConnections.size() >= fMaxConnections) {
            refuseConnection(fd);
            continue;
        }
        fLimitLogged = false;
        // Media goes out in batches as it comes; Nagle would hold a batch
        // back until the previous one is acknowledged.
        int noDelay = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        increaseSendBufferTo(envir(), fd, kSocketSendBufferSize);
        if (addClientConnection(fd, clientAddr) == nullptr) ::close(fd);
    }
}

void RTSPServer::refuseConnection(int socketNum) {
    if (!fLimitLogged) {
        fLimitLogged = true;
        Log_Write(LOG_WARN, "RTSP connection refused: %zu connections open (the limit)\n",
                  fConnections.size());
    }
    // Reset rather than closed: nothing lingers for a connection never served.
    linger abort{1, 0};
    setsockopt(socketNum, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(socketNum);
}

void RTSPServer::pauseAccepting(int err) {
    if (!fAcceptTroubleLogged) {
        fAcceptTroubleLogged = true;
        Log_Write(LOG_WARN, "RTSP server cannot accept connections (%s): retrying every %u ms\n",
                  strerror(err), kAcceptPauseMs);
    }
    TaskScheduler& scheduler = envir().taskScheduler();
    scheduler.disableBackgroundHandling(fServerSocket);
    scheduler.rescheduleDelayedTask(fAcceptResumeTask, int64_t{kAcceptPauseMs} * 1000,
                                    resumeAccepting, this);
}

void RTSPServer::resumeAccepting(void* clientData) {
    auto* server = static_cast<RTSPServer*>(clientData);
    server->fAcceptResumeTask = nullptr;
    server->envir().taskScheduler().setBackgroundHandling(
        server->fServerSocket, SOCKET_READABLE, incomingConnectionHandler, server);
}

RTSPClientConnection* RTSPServer::addClientConnection(int socketNum, sockaddr_in const& clientAddr) {
    if (fDestroying) return nullptr;
    RTSPClientConnection* connection = RTSPClientConnection::createNew(*this, socketNum, clientAddr);
    if (connection == nullptr) return nullptr;
    try {
        fConnections.emplace(connection->connectionId(), connection);
    } catch (const std::bad_alloc&) {
        connection->releaseSocket();
        delete connection;
        return nullptr;
    }
    return connection;
}

void RTSPServer::connectionDeleted(RTSPClientConnection* connection) {
    auto it = fConnections.find(connection->connectionId());
    if (it != fConnections.end() && it->second == connection) fConnections.erase(it);
}

void RTSPServer::noteConnectionActivity(uint64_t connectionId) {
    auto it = fConnections.find(connectionId);
    if (it != fConnections.end()) it->second->noteActivity();
}

// ---- registered sessions ----

ServerMediaSession* RTSPServer::lookupServerMediaSession(char const* streamName,
                                                         bool /*isFirstLookupInSession*/) {
    return findRegisteredSession(streamName);
}

ServerMediaSession* RTSPServer::findRegisteredSession(char const* streamName) const {
    if (streamName == nullptr) return nullptr;
    auto it = fSessions.find(streamName);
    return it == fSessions.end() ? nullptr : it->second;
}

void RTSPServer::addServerMediaSession(ServerMediaSession* session) {
    if (session == nullptr || fDestroying) return;
    ServerMediaSession* existing = findRegisteredSession(session->streamName());
    if (existing == session) return;
    if (existing != nullptr) removeServerMediaSession(existing);
    fSessions[session->streamName()] = session;
    session->fRegistered = true;
    serverMediaSessionAdded(session);
}

void RTSPServer::removeServerMediaSession(char const* streamName) {
    removeServerMediaSession(findRegisteredSession(streamName));
}

void RTSPServer::removeServerMediaSession(ServerMediaSession* session) {
    if (session == nullptr) return;
    unregisterSession(session);
    sessionUnreferenced(session);
}

void RTSPServer::unregisterSession(ServerMediaSession* session) {
    if (!session->fRegistered) return;
    auto it = fSessions.find(session->streamName());
    if (it != fSessions.end() && it->second == session) fSessions.erase(it);
    session->fRegistered = false;
    if (!fDestroying) serverMediaSessionRemoved(session);
}

void RTSPServer::closeAllClientSessionsForServerMediaSession(ServerMediaSession* session) {
    if (session == nullptr) return;
    // Held so that it outlives the loop even when its count drops to 0.
    holdSession(session);
    std::vector<uint32_t> ids;
    for (auto& entry : fClientSessions) {
        if (entry.second->serverMediaSession() == session) ids.push_back(entry.first);
    }
    for (uint32_t id : ids) delete lookupClientSession(id);
    releaseSession(session);
}

void RTSPServer::deleteServerMediaSession(ServerMediaSession* session) {
    if (session == nullptr) return;
    holdSession(session);
    closeAllClientSessionsForServerMediaSession(session);
    unregisterSession(session);
    releaseSession(session);
}

void RTSPServer::sessionUnreferenced(ServerMediaSession* session) {
    if (session->fReferenceCount != 0 || session->fHoldCount != 0) return;
    // Nothing uses the session any more: it goes at once, unless it is still
    // registered and was never set up (only described).
    if (session->fRegistered && !session->fHasBeenSetUp) return;
    unregisterSession(session);
    Medium::close(session);
}

void RTSPServer::holdSession(ServerMediaSession* session) { ++session->fHoldCount; }

void RTSPServer::releaseSession(ServerMediaSession* session) {
    if (session->fHoldCount > 0) --session->fHoldCount;
    sessionUnreferenced(session);
}

void RTSPServer::beginDescribe(ServerMediaSession* session) {
    ++session->fDescribeDepth;
    holdSession(session);
}

void RTSPServer::endDescribe(ServerMediaSession* session) {
    --session->fDescribeDepth;
    releaseSession(session);
}

bool RTSPServer::isBeingDescribed(ServerMediaSession const* session) const {
    return session->fDescribeDepth > 0;
}

void RTSPServer::serverMediaSessionAdded(ServerMediaSession* /*session*/) {}
void RTSPServer::serverMediaSessionRemoved(ServerMediaSession* /*session*/) {}

UserAuthenticationDatabase* RTSPServer::setAuthenticationDatabase(UserAuthenticationDatabase* db) {
    UserAuthenticationDatabase* previous = fAuthDB;
    fAuthDB = db;
    return previous;
}

// ---- access-check hooks ----

bool RTSPServer::specialClientAccessCheck(int /*clientSocket*/, sockaddr_in const& /*clientAddr*/,
                                          char const* /*urlSuffix*/) {
    return true;
}

bool RTSPServer::specialClientUserAccessCheck(int /*clientSocket*/,
                                              sockaddr_in const& /*clientAddr*/,
                                              char const* /*urlSuffix*/,
                                              char const* /*username*/) {
    return true;
}

UserAuthenticationDatabase* RTSPServer::getAuthenticationDatabaseForCommand(
    char const* /*cmdName*/) {
    return fAuthDB;
}

// ---- client sessions ----

void RTSPServer::setSessionIdSeed(uint32_t seed) {
    fSessionIdSequence = std::make_unique<std::mt19937>(seed);
}

uint32_t RTSPServer::nextSessionId() {
    if (fSessionIdSequence != nullptr) return static_cast<uint32_t>((*fSessionIdSequence)());
    uint32_t id = 0;
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
        // No random source: still unique, only less hard to guess.
        static std::mt19937 fallback{static_cast<uint32_t>(time(nullptr))};
        id = static_cast<uint32_t>(fallback());
    }
    return id;
}

RTSPClientSession* RTSPServer::createClientSession(uint64_t ownerConnectionId) {
    uint32_t id;
    do {
        id = nextSessionId();
    } while (id == 0 || fClientSessions.count(id) != 0);
    RTSPClientSession* session = RTSPClientSession::createNew(*this, id, ownerConnectionId);
    if (session != nullptr) fClientSessions[id] = session;
    return session;
}

RTSPClientSession* RTSPServer::lookupClientSession(uint32_t sessionId) const {
    auto it = fClientSessions.find(sessionId);
    return it == fClientSessions.end() ? nullptr : it->second;
}

void RTSPServer::clientSessionDeleted(uint32_t sessionId) { fClientSessions.erase(sessionId); }

// ---- TCP-streamed tracks ----

void RTSPServer::registerTCPStream(int socketNum, uint32_t sessionId, unsigned trackNum) {
    auto range = fTCPStreams.equal_range(socketNum);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.sessionId == sessionId && it->second.trackNum == trackNum) return;
    }
    fTCPStreams.emplace(socketNum, TCPStreamEntry{sessionId, trackNum});
}

void RTSPServer::unregisterTCPStream(int socketNum, uint32_t sessionId, unsigned trackNum) {
    auto range = fTCPStreams.equal_range(socketNum);
    for (auto it = range.first; it != range.second;) {
        if (it->second.sessionId == sessionId && it->second.trackNum == trackNum) {
            it = fTCPStreams.erase(it);
        } else {
            ++it;
        }
    }
}

void RTSPServer::endTCPStreams(int socketNum) {
    // Collected first: ending a stream may delete its session, which edits
    // the table.
    std::vector<TCPStreamEntry> entries;
    auto range = fTCPStreams.equal_range(socketNum);
    for (auto it = range.first; it != range.second; ++it) entries.push_back(it->second);
    fTCPStreams.erase(socketNum);
    for (const TCPStreamEntry& entry : entries) {
        RTSPClientSession* session = lookupClientSession(entry.sessionId);
        if (session != nullptr) session->endStreamOnClosedSocket(entry.trackNum, socketNum);
    }
    // Tracks set up on the socket but never played keep their session until
    // it times out, but not a stream towards a socket number that may be
    // handed out again.
    for (auto& entry : fClientSessions) entry.second->dropStreamsOnSocket(socketNum);
}

// ---- HTTP tunnels ----

bool RTSPServer::registerTunnel(std::string const& cookie, RTSPClientConnection* getConnection) {
    return fTunnels.emplace(cookie, getConnection).second;
}

RTSPClientConnection* RTSPServer::lookupTunnel(std::string const& cookie) const {
    auto it = fTunnels.find(cookie);
    return it == fTunnels.end() ? nullptr : it->second;
}

void RTSPServer::unregisterTunnel(std::string const& cookie, RTSPClientConnection* getConnection) {
    auto it = fTunnels.find(cookie);
    if (it != fTunnels.end() && it->second == getConnection) fTunnels.erase(it);
}

// ---- URLs ----

std::string RTSPServer::rtspURLPrefix(int clientSocket) const {
    in_addr address{};
    address.s_addr = serverAddressForSocket(clientSocket);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    char prefix[64];
    snprintf(prefix, sizeof prefix, "rtsp://%s:%u/", text, fPort);
    return prefix;
}

std::string RTSPServer::rtspURL(ServerMediaSession const* session, int clientSocket) const {
    std::string url = rtspURLPrefix(clientSocket);
    if (session != nullptr) url += session->streamName();
    return url;
}
