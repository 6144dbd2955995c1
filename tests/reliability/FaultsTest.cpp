// Clients that vanish (reset, close, silent half-open) over UDP and TCP, and a
// TCP client that stops reading: the server reclaims them, and the other
// clients of the channel lose nothing and keep their latency.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "ReliabilitySupport.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

enum class Vanish { Reset, Close, HalfOpen };

const char* vanishName(Vanish v) {
    switch (v) {
        case Vanish::Reset: return "reset";
        case Vanish::Close: return "close";
        default: return "half-open";
    }
}

// Clients that stay: they keep their sessions alive and read everything.
struct Witnesses {
    Witnesses(DirectServer& server)
        : tcp(server.port(), server.url("ch0"), Transport::Tcp), udp(server.port(), server.url("ch0"), Transport::Udp) {}
    bool start() { return tcp.start() && udp.start(); }
    // Reads for about ms, with keep-alives.
    void run(int ms) {
        auto end = steady_clock::now() + milliseconds(ms);
        while (steady_clock::now() < end) {
            tcp.keepAlive();
            udp.keepAlive();
            udp.sendReceiverReport();
            for (int i = 0; i < 10; ++i) {
                tcp.receiveFor(10);
                udp.receiveFor(10);
            }
        }
    }
    StreamClient tcp;
    StreamClient udp;
};

// Ends the connection (or nothing, for half-open) while the descriptor
// number stays taken by a harmless socket until the client object goes.
void vanish(StreamClient& client, Vanish how) {
    if (how == Vanish::HalfOpen) return;
    int fd = client.rtsp().socket();
    if (how == Vanish::Reset) {
        linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    int placeholder = socket(AF_INET, SOCK_STREAM, 0);
    dup2(placeholder, fd);
    close(placeholder);
    if (UdpPair* pair = client.udp()) {
        close(pair->rtp);
        close(pair->rtcp);
        pair->rtp = pair->rtcp = -1;
    }
}

TEST(Faults, VanishedClientsAreReclaimedAndOthersLoseNothing) {
    DirectServerOptions options;
    options.reclamationSeconds = 1;
    DirectServer server(options);
    VideoPusher pusher(server.pushFunction(), {0});
    pusher.start();
    Witnesses witnesses(server);
    ASSERT_TRUE(witnesses.start()) << witnesses.tcp.failure() << witnesses.udp.failure();
    for (Transport transport : {Transport::Tcp, Transport::Udp}) {
        for (Vanish how : {Vanish::Reset, Vanish::Close, Vanish::HalfOpen}) {
            std::string name = std::string(transport == Transport::Tcp ? "TCP " : "UDP ") + vanishName(how);
            auto client = std::make_unique<StreamClient>(server.port(), server.url("ch0"), transport);
            ASSERT_TRUE(client->start()) << name << client->failure();
            EXPECT_TRUE(client->receiveFrames(3)) << name;
            EXPECT_EQ(server.clientSessions(), 3u) << name;
            size_t before = witnesses.tcp.frames();
            vanish(*client, how);
            // Gone within the reclamation time and a little.
            auto start = steady_clock::now();
            while (server.clientSessions() > 2 && steady_clock::now() - start < milliseconds(3000)) witnesses.run(100);
            EXPECT_EQ(server.clientSessions(), 2u) << name;
            EXPECT_TRUE(waitUntil([&] { return server.connections() == 2; }, 2500)) << name << server.connections();
            witnesses.run(300);
            EXPECT_GT(witnesses.tcp.frames(), before + 5) << name;
            client.reset();
        }
    }
    EXPECT_EQ(witnesses.tcp.sequenceGaps(), 0u);
    EXPECT_EQ(witnesses.udp.sequenceGaps(), 0u);
    EXPECT_FALSE(witnesses.tcp.closedByServer());
    EXPECT_FALSE(witnesses.udp.closedByServer());
    EXPECT_EQ(server.events(0, CHANNEL_EVT_STOP), 0) << "the witnesses kept the channel's session";
}

int64_t percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(Faults, SlowReaderIsDroppedAndOthersKeepTheirLatency) {
    DirectServer server;
    // 50 frames of 60 kB a second: 3 MB/s, so a stalled reader's backlog
    // (4 MiB) fills within seconds.
    VideoPusher pusher(server.pushFunction(), {0}, 50, 60000);
    pusher.start();
    StreamClient fastTcp(server.port(), server.url("ch0"), Transport::Tcp);
    StreamClient fastUdp(server.port(), server.url("ch0"), Transport::Udp);
    ASSERT_TRUE(fastTcp.start()) << fastTcp.failure();
    ASSERT_TRUE(fastUdp.start()) << fastUdp.failure();
    auto readBoth = [&](int ms) {
        auto end = steady_clock::now() + milliseconds(ms);
        while (steady_clock::now() < end) {
            fastTcp.receiveFor(2);
            fastUdp.receiveFor(2);
        }
    };
    readBoth(500);  // settle
    fastTcp.clearLatencies();
    fastUdp.clearLatencies();
    readBoth(2000);
    std::vector<int64_t> normalTcp = fastTcp.latenciesNs(), normalUdp = fastUdp.latenciesNs();

    // The slow one plays, then reads nothing more.
    StreamClient slow(server.port(), server.url("ch0"), Transport::Tcp);
    slow.setReceiveBuffer(4096);
    ASSERT_TRUE(slow.start()) << slow.failure();
    fastTcp.clearLatencies();
    fastUdp.clearLatencies();
    auto stallStart = steady_clock::now();
    while (server.connections() > 2 && steady_clock::now() - stallStart < milliseconds(15000)) readBoth(100);
    double dropSeconds = std::chrono::duration<double>(steady_clock::now() - stallStart).count();
    ASSERT_EQ(server.connections(), 2u) << "the stalled reader was not removed";
    std::vector<int64_t> stalledTcp = fastTcp.latenciesNs(), stalledUdp = fastUdp.latenciesNs();
    readBoth(300);
    EXPECT_EQ(server.clientSessions(), 2u) << "its session went with its connection";

    auto ms = [](int64_t ns) { return static_cast<double>(ns) / 1e6; };
    printf("slow reader dropped after %.2f s; latency median/p95 ms: TCP normal %.2f/%.2f stalled %.2f/%.2f, "
           "UDP normal %.2f/%.2f stalled %.2f/%.2f (%zu/%zu frames)\n",
           dropSeconds, ms(percentile(normalTcp, 0.5)), ms(percentile(normalTcp, 0.95)),
           ms(percentile(stalledTcp, 0.5)), ms(percentile(stalledTcp, 0.95)), ms(percentile(normalUdp, 0.5)),
           ms(percentile(normalUdp, 0.95)), ms(percentile(stalledUdp, 0.5)), ms(percentile(stalledUdp, 0.95)),
           stalledTcp.size(), stalledUdp.size());
    ASSERT_GE(stalledTcp.size(), 10u);
    ASSERT_GE(stalledUdp.size(), 10u);
    // Latency is a figure of the optimised build; sanitizers slow the server
    // many times over.
    if (!kSanitized) {
        const int64_t margin = 5000000;  // 5 ms
        // Interleaved media is as prompt as UDP (no Nagle delay on the connection).
        EXPECT_LT(percentile(normalTcp, 0.5), percentile(normalUdp, 0.5) + margin);
        EXPECT_LT(percentile(stalledTcp, 0.5), percentile(normalTcp, 0.5) + margin);
        EXPECT_LT(percentile(stalledUdp, 0.5), percentile(normalUdp, 0.5) + margin);
        EXPECT_LT(percentile(stalledTcp, 0.95), percentile(normalTcp, 0.95) + margin);
        EXPECT_LT(percentile(stalledUdp, 0.95), percentile(normalUdp, 0.95) + margin);
    }
    EXPECT_EQ(fastTcp.sequenceGaps(), 0u);
    EXPECT_FALSE(fastTcp.closedByServer());
}

}  // namespace
