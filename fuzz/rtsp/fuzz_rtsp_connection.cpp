// Arbitrary bytes on two client connections of a server with fake tracks:
// requests, '$' frames, tunnelled GET/POST pairs, authentication. The input
// chooses where the bytes are cut and which connection gets each piece.
//
// Input: one flags byte (authentication mode), then pieces, each a 2-byte
// big-endian header (top bit: connection 0 or 1; 15 bits: length) and its
// bytes. Bytes left without a header go to connection 0. Session ids follow
// a fixed sequence: the first is 6AC1F425, the second 00CD4C6C... (mt19937
// seeded with 1), so that an input can name the session it created.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "rtp/TCPStreamSocket.h"
#include "rtsp/RTSPClientConnection.h"
#include "rtsp/RTSPServer.h"
#include "rtsp/ServerMediaSession.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

// A track that sends one '$' frame when a TCP stream starts.
class FuzzSubsession : public ServerMediaSubsession {
public:
    explicit FuzzSubsession(UsageEnvironment& env) : ServerMediaSubsession(env) {}

    char const* sdpLines() override {
        fLines = std::string("m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\nb=AS:500\r\n") +
                 "a=rtpmap:96 H264/90000\r\na=control:" + trackId() + "\r\n";
        return fLines.c_str();
    }
    void getStreamParameters(unsigned, uint32_t, uint16_t, uint16_t, int tcpSocketNum,
                             uint8_t rtpChannelId, uint8_t rtcpChannelId,
                             uint16_t& serverRTPPort, uint16_t& serverRTCPPort,
                             void*& streamToken) override {
        serverRTPPort = 6970;
        serverRTCPPort = 6971;
        streamToken = new Stream{tcpSocketNum, rtpChannelId, rtcpChannelId};
    }
    void startStream(unsigned, void* streamToken, TaskFunc* rrHandler, void* rrClientData,
                     uint16_t& rtpSeqNum, uint32_t& rtpTimestamp) override {
        rtpSeqNum = 0;
        rtpTimestamp = 0;
        auto* stream = static_cast<Stream*>(streamToken);
        rrHandler(rrClientData);  // as a receiver report would
        TCPStreamSocket* socket = TCPStreamSocket::lookup(envir(), stream->tcpSocketNum);
        if (socket == nullptr) return;
        const uint8_t frame[] = {'$', stream->rtpChannelId, 0, 2, 0x80, 96};
        socket->send(frame, sizeof frame);
    }
    void deleteStream(unsigned, void*& streamToken) override {
        delete static_cast<Stream*>(streamToken);
        streamToken = nullptr;
    }

private:
    struct Stream {
        int tcpSocketNum;
        uint8_t rtpChannelId;
        uint8_t rtcpChannelId;
    };
    std::string fLines;
};

struct Peer {
    int clientFd = -1;  // the fuzzer's end
    int serverFd = -1;  // the connection's end
    RTSPClientConnection* connection = nullptr;

    bool alive() const { return serverFd >= 0 && fcntl(serverFd, F_GETFD) != -1; }
    void drain() const {
        char sink[65536];
        while (recv(clientFd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    size_t pending() const {
        int count = 0;
        return ioctl(serverFd, FIONREAD, &count) == 0 && count > 0 ? static_cast<size_t>(count) : 0;
    }
    // Writes the piece and lets the connection read all of it.
    void feed(const uint8_t* data, size_t size) {
        while (size > 0 && alive()) {
            ssize_t written = send(clientFd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (written > 0) {
                data += written;
                size -= static_cast<size_t>(written);
            }
            while (alive() && pending() > 0) {
                connection->readSocket();
                if (alive()) drain();
            }
            if (written <= 0) break;
        }
        drain();
    }
};

ServerMediaSession* makeSession(UsageEnvironment& env, char const* name, int tracks) {
    ServerMediaSession* session = ServerMediaSession::createNew(env, name, name, "fuzz");
    for (int i = 0; i < tracks; ++i) session->addSubsession(new FuzzSubsession(env));
    return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int mode = data[0] % 3;  // 0: no accounts, 1: Basic, 2: Digest
    ++data;
    --size;

    BasicTaskScheduler* scheduler = BasicTaskScheduler::createNew();
    BasicUsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    std::unique_ptr<UserAuthenticationDatabase> db;
    if (mode != 0) {
        db.reset(UserAuthenticationDatabase::createNew(mode == 1 ? 0 : 1, "fuzz"));
        db->addUserRecord("user", "pass");
    }
    // The listening socket is never used: connections are handed over.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    RTSPServer* server = RTSPServer::createNew(*env, listener, 8554, db.get());
    server->setSessionIdSeed(1);
    server->addServerMediaSession(makeSession(*env, "cam", 2));
    server->addServerMediaSession(makeSession(*env, "live/one", 1));

    Peer peers[2];
    for (Peer& peer : peers) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) continue;
        peer.clientFd = fds[0];
        peer.serverFd = fds[1];
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        peer.connection = server->addClientConnection(fds[1], address);
        if (peer.connection == nullptr) {
            close(fds[1]);
            peer.serverFd = -1;
        }
    }

    while (size > 0) {
        size_t pieceSize = size;
        int which = 0;
        if (size >= 2) {
            which = data[0] >> 7;
            pieceSize = static_cast<size_t>((data[0] & 0x7F) << 8 | data[1]);
            data += 2;
            size -= 2;
            if (pieceSize > size) pieceSize = size;
        }
        peers[which].feed(data, pieceSize);
        data += pieceSize;
        size -= pieceSize;
    }

    Medium::close(server);
    for (Peer& peer : peers) {
        if (peer.clientFd >= 0) close(peer.clientFd);
    }
    env->reclaim();
    delete scheduler;
    return 0;
}
