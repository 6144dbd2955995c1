#include "rtp/TCPStreamSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "RtpTestEnv.h"

namespace {

struct RecordingClient : TCPStreamSocketClient {
    int goneCount = 0;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> frames;
    void streamSocketGone(TCPStreamSocket* socket) override {
        ++goneCount;
        socket->detachClient(this);
    }
    void incomingInterleavedFrame(TCPStreamSocket*, uint8_t channelId, const uint8_t* data,
                                  size_t size) override {
        frames.emplace_back(channelId, std::vector<uint8_t>(data, data + size));
    }
};

class TCPStreamSocketTest : public RtpTestEnv {};

// A connected TCP pair on loopback, with TCP_NODELAY on the sending end as on
// the server's connections.
struct LoopbackTcpPair {
    int a = -1;
    int b = -1;
    LoopbackTcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            a = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(a, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) b = accept(listener, nullptr, nullptr);
            int on = 1;
            setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        ::close(listener);
    }
    ~LoopbackTcpPair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
};

// Bytes that arrive at fd within timeoutMs.
size_t bytesArriving(int fd, int timeoutMs) {
    size_t total = 0;
    uint8_t buffer[65536];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        total += static_cast<size_t>(n);
        timeoutMs = 20;  // the rest of a burst follows closely
    }
    return total;
}

TEST_F(TCPStreamSocketTest, BytesHeldForTheRestOfABurstLeaveWhenItEnds) {
    LoopbackTcpPair pair;
    ASSERT_GE(pair.b, 0);
    TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_NE(socket, nullptr);
    std::vector<uint8_t> first(8760, 1), second(2920, 2);
    // A mid-burst flush: the kernel may hold these bytes for what follows...
    ASSERT_TRUE(socket->send(first.data(), first.size(), second.data(), second.size(), true));
    // ...and the burst's end sends them at once, with nothing after them.
    socket->pushPending();
    EXPECT_EQ(bytesArriving(pair.b, 100), first.size() + second.size());
    delete socket;
}

TEST_F(TCPStreamSocketTest, BacklogKeepsOrderAndDrainsWhenWritable) {
    SocketPair pair(SOCK_STREAM);
    setSendBuffer(pair.a, 4096);
    TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_NE(socket, nullptr);

    std::vector<uint8_t> sent;
    uint8_t chunk[1000];
    for (int i = 0; i < 400; ++i) {
        for (size_t j = 0; j < sizeof chunk; ++j) chunk[j] = static_cast<uint8_t>(i * 7 + j);
        if (i % 2 == 0) {
            ASSERT_TRUE(socket->send(chunk, sizeof chunk));
        } else {  // two pieces in one call, possibly cut anywhere
            ASSERT_TRUE(socket->send(chunk, 300, chunk + 300, sizeof chunk - 300, false));
        }
        sent.insert(sent.end(), chunk, chunk + sizeof chunk);
    }
    EXPECT_GT(socket->backlogSize(), 0u);  // the kernel could not take it all

    std::vector<uint8_t> received = readWhileStepping(pair.b, sent.size());
    EXPECT_EQ(received, sent);
    EXPECT_EQ(socket->backlogSize(), 0u);
    EXPECT_FALSE(socket->failed());
    delete socket;
}

TEST_F(TCPStreamSocketTest, OverflowAndSendErrorFailTheSocketAndReachClients) {
    struct Case {
        const char* name;
        bool closePeer;
    } cases[] = {{"backlog overflow", false}, {"peer gone", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair(SOCK_STREAM);
        setSendBuffer(pair.a, 4096);
        TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a, 64 * 1024);
        ASSERT_NE(socket, nullptr);
        RecordingClient client;
        socket->attachClient(&client);
        socket->setChannelReader(1, &client);
        if (c.closePeer) pair.closeB();

        uint8_t chunk[1000] = {};
        int sends = 0;
        while (socket->send(chunk, sizeof chunk) && ++sends < 10000) {
        }
        EXPECT_TRUE(socket->failed());
        EXPECT_EQ(client.goneCount, 1);
        EXPECT_EQ(socket->backlogSize(), 0u);
        EXPECT_FALSE(socket->send(chunk, 1));  // stays failed
        socket->deliverInterleavedFrame(1, chunk, 4);
        EXPECT_TRUE(client.frames.empty());  // the failed socket dropped its readers
        delete socket;
        EXPECT_EQ(client.goneCount, 1);  // detached: not told twice
    }
}

TEST_F(TCPStreamSocketTest, InterleavedFramesReachTheChannelsReader) {
    SocketPair pair(SOCK_STREAM);
    TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_NE(socket, nullptr);
    RecordingClient rtcp, other;
    socket->setChannelReader(1, &rtcp);
    socket->setChannelReader(3, &other);
    socket->clearChannelReader(1, &other);  // not its reader: no effect

    const uint8_t data[] = {0x80, 0xC9, 0x00, 0x01};
    socket->deliverInterleavedFrame(1, data, sizeof data);
    socket->deliverInterleavedFrame(2, data, sizeof data);  // nobody reads channel 2
    socket->deliverInterleavedFrame(3, data, 0);
    ASSERT_EQ(rtcp.frames.size(), 1u);
    EXPECT_EQ(rtcp.frames[0].first, 1);
    EXPECT_EQ(rtcp.frames[0].second, std::vector<uint8_t>(data, data + sizeof data));
    ASSERT_EQ(other.frames.size(), 1u);
    EXPECT_TRUE(other.frames[0].second.empty());

    socket->clearChannelReader(1, &rtcp);
    socket->deliverInterleavedFrame(1, data, sizeof data);
    EXPECT_EQ(rtcp.frames.size(), 1u);
    delete socket;
}

TEST_F(TCPStreamSocketTest, RegistryPerEnvironmentIsRemovedWhenEmpty) {
    SocketPair first(SOCK_STREAM), second(SOCK_STREAM);
    TCPStreamSocket* a = TCPStreamSocket::createNew(*env, first.a);
    TCPStreamSocket* b = TCPStreamSocket::createNew(*env, second.a);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(TCPStreamSocket::createNew(*env, first.a), nullptr);  // one object per socket
    EXPECT_EQ(TCPStreamSocket::lookup(*env, first.a), a);
    EXPECT_EQ(TCPStreamSocket::lookup(*env, second.a), b);
    EXPECT_EQ(TCPStreamSocket::lookup(*env, second.b), nullptr);

    RecordingClient client;
    a->attachClient(&client);
    delete a;
    EXPECT_EQ(client.goneCount, 1);
    EXPECT_EQ(TCPStreamSocket::lookup(*env, first.a), nullptr);
    EXPECT_NE(env->groupsockPriv, nullptr);
    delete b;
    EXPECT_EQ(env->groupsockPriv, nullptr);
}

TEST_F(TCPStreamSocketTest, ReadHandlerMayDeleteTheSocket) {
    SocketPair pair(SOCK_STREAM);
    TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_NE(socket, nullptr);
    struct Reader {
        TCPStreamSocket* socket;
        int calls = 0;
    } reader{socket};
    socket->setReadHandler(
        [](void* clientData, int) {
            auto* r = static_cast<Reader*>(clientData);
            ++r->calls;
            char buffer[16];
            ssize_t n = recv(r->socket->socketNum(), buffer, sizeof buffer, 0);
            (void)n;
            delete r->socket;
        },
        &reader);
    ASSERT_EQ(write(pair.b, "OPTIONS", 7), 7);
    for (int i = 0; i < 20 && reader.calls == 0; ++i) scheduler->SingleStep(10000);
    EXPECT_EQ(reader.calls, 1);
    EXPECT_EQ(scheduler->handledConditions(pair.a), 0);
}

}  // namespace
