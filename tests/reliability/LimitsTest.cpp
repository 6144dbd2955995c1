// Limits on what peers can make the server hold: request size, header count
// and line length (plain and through a tunnel), the connection limit, and
// the time-outs of incomplete requests and of silent connections.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ReliabilitySupport.h"
#include "rtsp/RTSPRequest.h"
#include "server/LiveRtspServer.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string optionsWith(const std::string& extraLines) {
    return "OPTIONS * RTSP/1.0\r\nCSeq: 7\r\n" + extraLines + "\r\n";
}

std::string headers(size_t count, size_t valueLength) {
    std::string lines;
    for (size_t i = 0; i < count; ++i) lines += "X-" + std::to_string(i) + ": " + std::string(valueLength, 'v') + "\r\n";
    return lines;
}

// A header line whose whole length (name, colon, blank, value) is `length`.
std::string lineOfLength(size_t length) { return "X-Long: " + std::string(length - 8, 'l') + "\r\n"; }

struct LimitCase {
    const char* name;
    std::string request;
    bool accepted;
};

std::vector<LimitCase> limitCases() {
    const size_t lineMax = kMaxHeaderLineLength;
    return {
        // The request line and CSeq take two of the lines; 63 more headers fit.
        {"64 header lines", optionsWith(headers(kMaxHeaderCount - 1, 4)), true},
        {"65 header lines", optionsWith(headers(kMaxHeaderCount, 4)), false},
        {"line of the longest length", optionsWith(lineOfLength(lineMax)), true},
        {"line one byte longer", optionsWith(lineOfLength(lineMax + 1)), false},
        {"head within the size", optionsWith(headers(3, 2000)), true},
        {"head beyond the size", optionsWith(headers(5, 2000)), false},
        {"body of the largest length",
         "SET_PARAMETER * RTSP/1.0\r\nCSeq: 7\r\nContent-Length: 65536\r\n\r\n" + std::string(kMaxContentLength, 'b'),
         true},
        {"body one byte longer", "SET_PARAMETER * RTSP/1.0\r\nCSeq: 7\r\nContent-Length: 65537\r\n\r\n", false},
    };
}

void expectAnsweredOrRefused(const LimitCase& c, int answerFd, const std::string& how) {
    std::string response = readResponse(answerFd);
    if (c.accepted) {
        EXPECT_EQ(statusOf(response), 200) << c.name << " " << how << ": " << response.substr(0, 80);
    } else {
        EXPECT_EQ(statusOf(response), 400) << c.name << " " << how << ": " << response.substr(0, 80);
        EXPECT_TRUE(waitForClose(answerFd, 2000)) << c.name << " " << how;
    }
}

TEST(Limits, RequestSizeHeaderCountAndLineLengthOnBothPaths) {
    DirectServer server;
    ASSERT_TRUE(server.ok());
    std::vector<LimitCase> cases = limitCases();
    for (size_t i = 0; i < cases.size(); ++i) {
        const LimitCase& c = cases[i];
        int fd = connectLoopback(server.port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.request.size()));
        expectAnsweredOrRefused(c, fd, "plain");
        close(fd);

        HttpTunnel tunnel(server.port(), "limits-" + std::to_string(i));
        ASSERT_TRUE(tunnel.open()) << c.name;
        // A refused request may close the tunnel before all of it is sent.
        bool sent = tunnel.sendRequest(c.request, 997, 0);
        if (c.accepted) {
            ASSERT_TRUE(sent) << c.name;
        }
        expectAnsweredOrRefused(c, tunnel.getFd(), "tunnelled");
        if (!c.accepted) {
            EXPECT_TRUE(waitForClose(tunnel.postFd(), 2000)) << c.name << ": the POST goes too";
        }
    }
    EXPECT_TRUE(waitUntil([&] { return server.connections() == 0; }, 3000)) << server.connections();
}

TEST(Limits, ConnectionsBeyondTheLimitAreResetAndServingGoesOn) {
    // The library's own server has the documented default.
    {
        DirectServer defaults;
        size_t limit = 0;
        unsigned incomplete = 0;
        defaults.call([&](LiveRtspServer& s) {
            limit = s.maxClientConnections();
            incomplete = s.incompleteRequestTimeoutMs();
        });
        EXPECT_EQ(limit, 4096u);
        EXPECT_EQ(incomplete, 10000u);
    }
    DirectServerOptions options;
    options.maxConnections = 8;
    DirectServer server(options);
    VideoPusher pusher(server.pushFunction(), {0});
    StreamClient viewer(server.port(), server.url("ch0"), Transport::Tcp);
    ASSERT_TRUE(viewer.start()) << viewer.failure();
    pusher.start();

    ConnectionSwarm served(server.port(), 7);  // with the viewer: the limit
    served.sendAll([](size_t) { return optionsWith(""); });
    EXPECT_EQ(served.collect(1, 3000), 7u);
    ConnectionSwarm refused(server.port(), 5);
    EXPECT_TRUE(waitUntil([&] { return refused.closedByServer() == 5; }, 3000)) << refused.closedByServer();
    EXPECT_EQ(server.connections(), 8u);

    // Room again: new connections are served.
    served.closeAll();
    EXPECT_TRUE(waitUntil([&] { return server.connections() == 1; }, 3000));
    ConnectionSwarm later(server.port(), 3);
    later.sendAll([](size_t) { return optionsWith(""); });
    EXPECT_EQ(later.collect(1, 3000), 3u);
    EXPECT_TRUE(viewer.receiveFrames(10));
    EXPECT_EQ(viewer.sequenceGaps(), 0u);
}

TEST(Limits, IncompleteRequestsTimeOutFromTheLastCompleteOne) {
    DirectServerOptions options;
    options.incompleteRequestMs = 400;
    DirectServer server(options);

    // A head that trickles in byte by byte is closed on time, not kept alive
    // by its bytes.
    int trickle = connectLoopback(server.port());
    auto start = steady_clock::now();
    std::string head = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Slow: " + std::string(100, 's');
    bool closed = false;
    for (char c : head) {
        if (send(trickle, &c, 1, MSG_NOSIGNAL) != 1 || waitForClose(trickle, 20)) {
            closed = true;
            break;
        }
    }
    if (!closed) closed = waitForClose(trickle, 2000);
    auto elapsed = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_TRUE(closed);
    EXPECT_GE(elapsed, 350);
    EXPECT_LT(elapsed, 1900);  // 100 bytes at 20 ms would be 2 s
    close(trickle);

    // Half a '$' frame is incomplete input too.
    int frame = connectLoopback(server.port());
    std::string partial("$\x01\x10\x00" "abc", 7);
    send(frame, partial.data(), partial.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(waitForClose(frame, 2000));
    close(frame);

    // Requests that each complete within the time may arrive in pieces forever.
    int steady = connectLoopback(server.port());
    std::string request = optionsWith("");
    size_t half = request.size() / 2;
    for (int i = 0; i < 8; ++i) {
        std::string text = i == 0 ? request.substr(0, half) : request.substr(half) + request.substr(0, half);
        ASSERT_EQ(send(steady, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
        std::this_thread::sleep_for(milliseconds(150));
        if (i > 0) {
            EXPECT_EQ(statusOf(readResponse(steady, 500)), 200) << i;
        }
    }
    close(steady);
}

TEST(Limits, SilentConnectionsCloseAfterTheReclamationTime) {
    DirectServerOptions options;
    options.reclamationSeconds = 1;
    DirectServer server(options);
    VideoPusher pusher(server.pushFunction(), {0});
    pusher.start();

    int silent = connectLoopback(server.port());
    int talking = connectLoopback(server.port());
    HttpTunnel tunnel(server.port(), "silence");
    ASSERT_TRUE(tunnel.open());
    // A UDP client whose session lives on receiver reports alone.
    StreamClient udp(server.port(), server.url("ch0"), Transport::Udp);
    ASSERT_TRUE(udp.start()) << udp.failure();

    auto start = steady_clock::now();
    bool silentClosed = false;
    while (steady_clock::now() - start < milliseconds(2600)) {
        // Keep-alives on one connection, through the tunnel and by RTCP.
        std::string keepAlive = "GET_PARAMETER * RTSP/1.0\r\nCSeq: 2\r\n\r\n";
        send(talking, keepAlive.data(), keepAlive.size(), MSG_NOSIGNAL);
        EXPECT_EQ(statusOf(readResponse(talking, 500)), 200);
        tunnel.sendRequest("OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n");
        EXPECT_EQ(statusOf(readResponse(tunnel.getFd(), 500)), 200);
        EXPECT_TRUE(udp.sendReceiverReport());
        udp.receiveFor(10);
        if (!silentClosed) {
            silentClosed = waitForClose(silent, 250);
        } else {
            std::this_thread::sleep_for(milliseconds(250));
        }
    }
    EXPECT_TRUE(silentClosed);
    EXPECT_FALSE(waitForClose(talking, 10));
    EXPECT_FALSE(waitForClose(tunnel.getFd(), 10));
    EXPECT_FALSE(udp.closedByServer());
    EXPECT_TRUE(udp.receiveFrames(5));
    close(silent);
    close(talking);
}

}  // namespace
