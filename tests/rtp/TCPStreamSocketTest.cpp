#include "rtp/TCPStreamSocket.h"

#include <gtest/gtest.h>
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

TEST_F(TCPStreamSocketTest, BacklogKeepsOrderAndDrainsWhenWritable) {
    SocketPair pair(SOCK_STREAM);
    setSendBuffer(pair.a, 4096);
    TCPStreamSocket* socket = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_NE(socket, nullptr);

    std::vector<uint8_t> sent;
    uint8_t chunk[1000];
    for (int i = 0; i < 400; ++i) {
        for (size_t j = 0; j < sizeof chunk; ++j) chunk[j] = static_cast<uint8_t>(i * 7 + j);
        ASSERT_TRUE(socket->send(chunk, sizeof chunk));
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
