#include "RTSPTestSupport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "rtp/TCPStreamSocket.h"

// ---- FakeSubsession ----

int FakeSubsession::liveCount = 0;

FakeSubsession* FakeSubsession::createNew(UsageEnvironment& env) {
    return new FakeSubsession(env);
}

FakeSubsession::FakeSubsession(UsageEnvironment& env) : ServerMediaSubsession(env) {
    ++liveCount;
}

FakeSubsession::~FakeSubsession() { --liveCount; }

char const* FakeSubsession::sdpLines() {
    if (fSDPLines.empty()) {
        char lines[256];
        int payloadType = 95 + static_cast<int>(trackNumber());
        snprintf(lines, sizeof lines,
                 "m=video 0 RTP/AVP %d\r\nc=IN IP4 0.0.0.0\r\nb=AS:500\r\n"
                 "a=rtpmap:%d H264/90000\r\na=control:%s\r\n",
                 payloadType, payloadType, trackId());
        fSDPLines = lines;
    }
    return fSDPLines.c_str();
}

void FakeSubsession::getStreamParameters(unsigned clientSessionId, uint32_t /*clientAddress*/,
                                         uint16_t clientRTPPort, uint16_t /*clientRTCPPort*/,
                                         int tcpSocketNum, uint8_t rtpChannelId,
                                         uint8_t rtcpChannelId, uint16_t& serverRTPPort,
                                         uint16_t& serverRTCPPort, void*& streamToken) {
    auto* stream = new Stream;
    stream->clientSessionId = clientSessionId;
    stream->tcpSocketNum = tcpSocketNum;
    stream->rtpChannelId = rtpChannelId;
    stream->rtcpChannelId = rtcpChannelId;
    stream->clientRTPPort = clientRTPPort;
    lastStream = *stream;
    serverRTPPort = static_cast<uint16_t>(6970 + 2 * (trackNumber() - 1));
    serverRTCPPort = static_cast<uint16_t>(serverRTPPort + 1);
    streamToken = stream;
    ++streamsSetUp;
}

void FakeSubsession::startStream(unsigned /*clientSessionId*/, void* streamToken,
                                 TaskFunc* rtcpRRHandler, void* rtcpRRHandlerClientData,
                                 uint16_t& rtpSeqNum, uint32_t& rtpTimestamp) {
    ++starts;
    rrHandler = rtcpRRHandler;
    rrClientData = rtcpRRHandlerClientData;
    rtpSeqNum = 0;
    rtpTimestamp = 0;
    auto* stream = static_cast<Stream*>(streamToken);
    if (stream->tcpSocketNum < 0) return;
    TCPStreamSocket* socket = TCPStreamSocket::lookup(envir(), stream->tcpSocketNum);
    if (socket == nullptr) return;
    const uint8_t frame[] = {'$', stream->rtcpChannelId, 0, 4, 'R', 'T', 'C', 'P'};
    socket->send(frame, sizeof frame);
}

void FakeSubsession::pauseStream(unsigned /*clientSessionId*/, void* /*streamToken*/) {
    ++pauses;
}

void FakeSubsession::deleteStream(unsigned /*clientSessionId*/, void*& streamToken) {
    delete static_cast<Stream*>(streamToken);
    streamToken = nullptr;
    ++deletes;
}

// ---- TestRTSPServer ----

TestRTSPServer* TestRTSPServer::createNew(UsageEnvironment& env, int socket, uint16_t port,
                                          UserAuthenticationDatabase* db, unsigned reclamation) {
    return new TestRTSPServer(env, socket, port, db, reclamation);
}

bool TestRTSPServer::specialClientAccessCheck(int, sockaddr_in const&, char const*) {
    return !refuseClient;
}

bool TestRTSPServer::specialClientUserAccessCheck(int, sockaddr_in const&, char const*,
                                                  char const* username) {
    lastCheckedUser = username;
    return !refuseUser;
}

UserAuthenticationDatabase* TestRTSPServer::getAuthenticationDatabaseForCommand(
    char const* cmdName) {
    if (uncheckedMethod == cmdName) return nullptr;
    return RTSPServer::getAuthenticationDatabaseForCommand(cmdName);
}

void TestRTSPServer::serverMediaSessionAdded(ServerMediaSession*) { ++added; }
void TestRTSPServer::serverMediaSessionRemoved(ServerMediaSession*) { ++removed; }

// ---- TestServer ----

TestServer::TestServer(UserAuthenticationDatabase* db, unsigned reclamation) {
    fScheduler = BasicTaskScheduler::createNew();
    fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    int socket = RTSPServer::setUpOurSocket(*fEnv, 0);
    if (socket < 0) return;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    fPort = ntohs(local.sin_port);
    fServer = TestRTSPServer::createNew(*fEnv, socket, fPort, db, reclamation);
}

TestServer::~TestServer() {
    Medium::close(fServer);
    fEnv->reclaim();
    delete fScheduler;
}

ServerMediaSession* TestServer::addSession(char const* name, int tracks) {
    ServerMediaSession* session =
        ServerMediaSession::createNew(*fEnv, name, name, "Test session description");
    for (int i = 0; i < tracks; ++i) session->addSubsession(FakeSubsession::createNew(*fEnv));
    fServer->addServerMediaSession(session);
    return session;
}

FakeSubsession* TestServer::track(ServerMediaSession* session, unsigned index) {
    return static_cast<FakeSubsession*>(session->subsession(index));
}

bool TestServer::runUntil(const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        step();
    }
    return true;
}

void TestServer::runFor(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) step();
}

std::string TestServer::url(std::string const& path) const {
    return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/" + path;
}

// ---- TestClient ----

TestClient::TestClient(TestServer& server) : fServer(server) {
    fFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    // The kernel completes the handshake from the listen queue.
    connect(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

TestClient::~TestClient() { close(); }

void TestClient::close() {
    if (fFd >= 0) ::close(fFd);
    fFd = -1;
}

void TestClient::send(std::string const& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN) {
            return;
        } else {
            fServer.step(1000);
        }
    }
}

bool TestClient::fill(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline && !fEOF) {
        fServer.step(1000);
        char chunk[65536];
        ssize_t n = recv(fFd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            fBuffer.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) fEOF = true;
    }
    return false;
}

std::string TestClient::readResponse(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t headEnd = fBuffer.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::string head = fBuffer.substr(0, headEnd + 4);
            std::string lengthText = headerValue(head, "Content-Length");
            size_t total = headEnd + 4 + (lengthText.empty() ? 0 : std::stoul(lengthText));
            if (fBuffer.size() >= total) {
                std::string response = fBuffer.substr(0, total);
                fBuffer.erase(0, total);
                return response;
            }
        }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0 || !fill(left)) return "";
    }
}

std::string TestClient::readBytes(size_t n, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fBuffer.size() < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0 || !fill(left)) break;
    }
    std::string bytes = fBuffer.substr(0, n);
    fBuffer.erase(0, bytes.size());
    return bytes;
}

std::string TestClient::request(std::string const& method, std::string const& url,
                                std::string const& extraHeaders) {
    send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++fCSeq) + "\r\n" +
         extraHeaders + "\r\n");
    return readResponse();
}

bool TestClient::waitClosed(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!fEOF && std::chrono::steady_clock::now() < deadline) fill(50);
    return fEOF;
}

// ---- response helpers ----

std::string statusLine(std::string const& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string headerValue(std::string const& response, std::string const& name) {
    std::string head = response.substr(0, response.find("\r\n\r\n"));
    std::string key = "\r\n" + name + ":";
    size_t pos = head.find(key);
    if (pos == std::string::npos) return "";
    size_t start = pos + key.size();
    while (start < head.size() && head[start] == ' ') ++start;
    size_t end = head.find("\r\n", start);
    return head.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string sessionIdOf(std::string const& response) {
    std::string value = headerValue(response, "Session");
    return value.substr(0, value.find(';'));
}

std::string bodyOf(std::string const& response) {
    size_t pos = response.find("\r\n\r\n");
    return pos == std::string::npos ? "" : response.substr(pos + 4);
}
