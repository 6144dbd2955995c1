// Channel resets: pushes refused until the sweep, the clients' streams ended
// by it, STOP once for any number of resets, and resets of channels without
// a session.
#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "LogCapture.h"
#include "TestHost.h"

namespace {

const int D = CHANNEL_EVT_DESCRIBE;
const int P = CHANNEL_EVT_PLAY;
const int S = CHANNEL_EVT_STOP;
const std::vector<TrackAssembly::Format> kVideoOnly = {TrackAssembly::Format::H264};

Bytes slice(uint8_t tag) {
    Bytes unit(2000, tag);
    unit[0] = 0x41;
    return unit;
}

int pushVideo(int channelId, const Bytes& unit) {
    PUSH_FRAME_T frame{};
    frame.media_type = NERIVO_MEDIA_VIDEO;
    frame.length = static_cast<uint32_t>(unit.size());
    frame.data = unit.data();
    return Nerivo_PushFrame(channelId, &frame);
}

bool receives(PlayingClient& client, size_t units) {
    return client.receiveUntil([&] { return client.track(0).units().size() >= units; }, 3000);
}

// The server thread waits inside the host's DESCRIBE answer for another
// channel, so no sweep can run until release(): what a host thread does
// meanwhile happens before the sweep.
class SweepHold {
public:
    SweepHold(TestHost& host, uint16_t port, int channelId, const std::string& name)
        : fHost(host), fClient(port) {
        int before = host.countEvents(channelId, D);
        host.holdDescribe(channelId);
        fClient.sendRaw("DESCRIBE " + rtspUrl(port, name) + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
        fHeld = host.waitForEvents(channelId, D, before + 1);
    }
    ~SweepHold() { release(); }
    bool held() const { return fHeld; }
    void release() { fHost.releaseDescribe(); }

private:
    TestHost& fHost;
    RtspTestClient fClient;
    bool fHeld = false;
};

TEST(ChannelReset, EndsTheClientsOnceAndPushingResumes) {
    TestHost host;
    host.addChannel(7, "cam7", TestHost::h264Description());
    host.addChannel(8, "gate", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    PlayingClient tcp(port, "cam7"), udp(port, "cam7");
    ASSERT_TRUE(tcp.start(Transport::Tcp, kVideoOnly)) << tcp.failure();
    ASSERT_TRUE(udp.start(Transport::Udp, kVideoOnly)) << udp.failure();
    ASSERT_EQ(pushVideo(7, slice(1)), 0);
    ASSERT_TRUE(receives(tcp, 1));
    ASSERT_TRUE(receives(udp, 1));

    int firstReset, secondReset, refused;
    std::string log;
    {
        SweepHold hold(host, port, 8, "gate");
        ASSERT_TRUE(hold.held());
        LogCapture capture;
        firstReset = Nerivo_ResetChannel(7);
        secondReset = Nerivo_ResetChannel(7);  // before the sweep: the same reset
        refused = pushVideo(7, slice(2));
        log = capture.text();
    }
    EXPECT_EQ(firstReset, 0);
    EXPECT_EQ(secondReset, 0);
    EXPECT_EQ(refused, -1);
    EXPECT_NE(log.find("The channel is reset: 7\n"), std::string::npos) << log;

    ASSERT_TRUE(host.waitForEvents(7, S, 1));
    EXPECT_EQ(pushVideo(7, slice(3)), 0) << "after the sweep frames are taken again";
    // The clients' streams have ended: nothing more arrives, the sessions are gone.
    size_t tcpPackets = tcp.packetsReceived(), udpPackets = udp.packetsReceived();
    tcp.receive(300);
    udp.receive(300);
    EXPECT_EQ(tcp.packetsReceived(), tcpPackets);
    EXPECT_EQ(udp.packetsReceived(), udpPackets);
    EXPECT_EQ(tcp.rtsp().request("GET_PARAMETER", tcp.url()).status, 454);
    EXPECT_EQ(udp.rtsp().request("GET_PARAMETER", udp.url()).status, 454);
    EXPECT_EQ(host.eventsOf(7), (std::vector<int>{D, P, S})) << "two resets, one STOP";

    // The next request asks the host afresh and streams again.
    PlayingClient again(port, "cam7");
    ASSERT_TRUE(again.start(Transport::Tcp, kVideoOnly)) << again.failure();
    EXPECT_EQ(host.eventsOf(7), (std::vector<int>{D, P, S, D, P}));
    Bytes next = slice(4);
    ASSERT_EQ(pushVideo(7, next), 0);
    ASSERT_TRUE(receives(again, 1));
    EXPECT_TRUE(again.track(0).units()[0].data == next);
}

TEST(ChannelReset, ChannelsWithoutClients) {
    TestHost host;
    host.addChannel(1, "never", TestHost::h264Description());
    host.addChannel(2, "described", TestHost::h264Description());
    host.addChannel(3, "ended", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);

    // Never asked for: nothing to end, pushes still taken.
    EXPECT_EQ(Nerivo_ResetChannel(1), 0);
    EXPECT_EQ(pushVideo(1, slice(1)), 0);

    // Only described: the sweep removes the session, so the next request
    // asks the host again.
    RtspTestClient describer(port);
    ASSERT_EQ(describer.describe(rtspUrl(port, "described")).status, 200);
    EXPECT_EQ(Nerivo_ResetChannel(2), 0);
    ASSERT_TRUE(host.waitForEvents(2, S, 1));
    ASSERT_EQ(describer.describe(rtspUrl(port, "described")).status, 200);
    EXPECT_EQ(host.eventsOf(2), (std::vector<int>{D, P, S, D, P}));

    // Its session already ended: no STOP again, pushes taken at once.
    PlayingClient client(port, "ended");
    ASSERT_TRUE(client.start(Transport::Tcp, kVideoOnly)) << client.failure();
    ASSERT_EQ(client.rtsp().teardown(client.url()).status, 200);
    ASSERT_TRUE(host.waitForEvents(3, S, 1));
    EXPECT_EQ(Nerivo_ResetChannel(3), 0);
    EXPECT_EQ(pushVideo(3, slice(2)), 0);
    RtspTestClient later(port);
    ASSERT_EQ(later.describe(rtspUrl(port, "ended")).status, 200);
    EXPECT_EQ(host.eventsOf(3), (std::vector<int>{D, P, S, D, P}));

    EXPECT_EQ(Nerivo_ResetChannel(99), -3) << "unknown channel";
    EXPECT_EQ(Nerivo_ResetChannel(-1), -1);
}

}  // namespace
