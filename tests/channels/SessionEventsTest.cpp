// What the host is told and when: DESCRIBE, then PLAY once before the
// DESCRIBE answer, STOP after the last client; sharing of a session; the
// choice of a channel by stream name; descriptions that give no session; a
// missing callback; shutdown with clients attached.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ChannelTestSupport.h"
#include "LogCapture.h"
#include "TestHost.h"

namespace {

using Events = std::vector<int>;
const int D = CHANNEL_EVT_DESCRIBE;
const int P = CHANNEL_EVT_PLAY;
const int S = CHANNEL_EVT_STOP;

// A unit distinct per tag: an IDR slice long enough for FU-A packets.
Bytes unitWithTag(uint8_t tag) {
    Bytes unit(3000);
    for (size_t i = 0; i < unit.size(); ++i) unit[i] = static_cast<uint8_t>(i * 7 + tag);
    unit[0] = 0x65;
    unit[1] = tag;
    return unit;
}

int pushVideo(int channelId, const Bytes& unit) {
    PUSH_FRAME_T frame{};
    frame.media_type = NERIVO_MEDIA_VIDEO;
    frame.frame_type = NERIVO_FRAME_KEY;
    frame.length = static_cast<uint32_t>(unit.size());
    frame.data = unit.data();
    return Nerivo_PushFrame(channelId, &frame);
}

// Waits for the first `count` units of track 0.
bool receivedUnits(PlayingClient& client, size_t count) {
    return client.receiveUntil([&] { return client.track(0).units().size() >= count; }, 3000);
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// True once the server has closed the connection (whatever arrived before).
bool closedWithin(RtspTestClient& client, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
        if (!client.receive(50)) return true;
    return false;
}

const std::vector<TrackAssembly::Format> kVideoOnly = {TrackAssembly::Format::H264};

TEST(SessionEvents, OneSessionFromFirstDescribeToLastTeardown) {
    TestHost host;
    host.addChannel(7, "cam1", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);

    // PLAY comes during the first DESCRIBE, before its answer; a second
    // DESCRIBE is answered from the same session without asking again.
    RtspTestClient describer(port);
    ASSERT_EQ(describer.describe(rtspUrl(port, "cam1")).status, 200);
    EXPECT_EQ(host.eventsOf(7), (Events{D, P}));
    ASSERT_EQ(describer.describe(rtspUrl(port, "cam1")).status, 200);

    PlayingClient tcp(port, "cam1"), udp1(port, "cam1"), udp2(port, "cam1");
    ASSERT_TRUE(tcp.start(Transport::Tcp, kVideoOnly)) << tcp.failure();
    ASSERT_TRUE(udp1.start(Transport::Udp, kVideoOnly)) << udp1.failure();
    ASSERT_TRUE(udp2.start(Transport::Udp, kVideoOnly)) << udp2.failure();
    EXPECT_EQ(host.eventsOf(7), (Events{D, P})) << "later clients share the session";
    EXPECT_EQ(udp1.serverPorts(), udp2.serverPorts()) << "one shared stream per track";

    Bytes first = unitWithTag(1);
    ASSERT_EQ(pushVideo(7, first), 0);
    for (PlayingClient* c : {&tcp, &udp1, &udp2}) {
        ASSERT_TRUE(receivedUnits(*c, 1));
        EXPECT_TRUE(c->track(0).units()[0].data == first);
    }

    // A PAUSE of one client and its TEARDOWN leave the others streaming.
    EXPECT_EQ(udp1.rtsp().request("PAUSE", udp1.url()).status, 200);
    EXPECT_EQ(tcp.rtsp().teardown(tcp.url()).status, 200);
    Bytes second = unitWithTag(2);
    ASSERT_EQ(pushVideo(7, second), 0);
    ASSERT_TRUE(receivedUnits(udp2, 2));
    EXPECT_TRUE(udp2.track(0).units()[1].data == second);
    EXPECT_EQ(host.eventsOf(7), (Events{D, P}));
    EXPECT_EQ(udp1.rtsp().teardown(udp1.url()).status, 200);
    EXPECT_EQ(udp2.rtsp().teardown(udp2.url()).status, 200);
    ASSERT_TRUE(host.waitForEvents(7, S, 1));
    EXPECT_EQ(host.eventsOf(7), (Events{D, P, S}));
    for (const HostEvent& e : host.events()) EXPECT_EQ(e.videoCodec, NERIVO_CODEC_H264) << "event " << e.event;

    // After STOP the next request asks the host again and gets new, empty
    // queues: a unit pushed in between is never delivered.
    ASSERT_EQ(pushVideo(7, unitWithTag(3)), 0);
    PlayingClient again(port, "cam1");
    ASSERT_TRUE(again.start(Transport::Tcp, kVideoOnly)) << again.failure();
    EXPECT_EQ(host.eventsOf(7), (Events{D, P, S, D, P}));
    Bytes fourth = unitWithTag(4);
    ASSERT_EQ(pushVideo(7, fourth), 0);
    ASSERT_TRUE(receivedUnits(again, 1));
    again.receive(100);
    ASSERT_EQ(again.track(0).units().size(), 1u);
    EXPECT_TRUE(again.track(0).units()[0].data == fourth);
}

struct NameCase {
    std::vector<std::string> names;  // channel ids 1, 2, ... in this order
    std::string request;
    int channel;           // the one asked, or 0 for "no channel"
};

TEST(SessionEvents, StreamNameChoosesTheChannel) {
    // An exact name wins; otherwise the first channel that contains it.
    const NameCase cases[] = {
        {{"cam1", "cam10"}, "cam1", 1},   {{"cam1", "cam10"}, "cam10", 2}, {{"cam10", "cam1"}, "cam1", 2},
        {{"cam10", "cam1"}, "cam10", 1},  {{"cam10", "cam1"}, "am1", 1},   {{"cam1", "cam10"}, "m10", 2},
        {{"cam1", "cam10"}, "cam2", 0},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.names[0] + "," + c.names[1] + " <- " + c.request);
        TestHost host;
        for (size_t i = 0; i < c.names.size(); ++i)
            host.addChannel(static_cast<int>(i + 1), c.names[i], TestHost::h264Description());
        uint16_t port = freeTcpPort();
        ASSERT_EQ(host.start(port), 0);
        RtspTestClient client(port);
        RtspResponse describe;
        std::string log;
        {
            LogCapture capture;  // gtest writes to standard output too: assert after it
            describe = client.describe(rtspUrl(port, c.request));
            log = capture.text();
        }
        if (c.channel == 0) {
            EXPECT_EQ(describe.status, 404);
            EXPECT_NE(log.find("Not found the stream name: " + c.request + "\n"), std::string::npos) << log;
            EXPECT_TRUE(host.events().empty());
            continue;
        }
        EXPECT_EQ(describe.status, 200);
        for (int id = 1; id <= static_cast<int>(c.names.size()); ++id)
            EXPECT_EQ(host.countEvents(id, D), id == c.channel ? 1 : 0) << "channel " << id;
    }
}

TEST(SessionEvents, PartialNameReachesTheExistingSession) {
    TestHost host;
    host.addChannel(1, "cam1", TestHost::h264Description());
    host.addChannel(2, "cam10", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    PlayingClient full(port, "cam1");
    ASSERT_TRUE(full.start(Transport::Tcp, kVideoOnly)) << full.failure();
    // "am1" selects cam1 (the first containing it): its session, as it is.
    PlayingClient partial(port, "am1");
    ASSERT_TRUE(partial.start(Transport::Udp, kVideoOnly)) << partial.failure();
    EXPECT_EQ(host.eventsOf(1), (Events{D, P})) << "the session is not rebuilt";
    EXPECT_TRUE(host.eventsOf(2).empty());
    Bytes unit = unitWithTag(9);
    ASSERT_EQ(pushVideo(1, unit), 0);
    for (PlayingClient* c : {&full, &partial}) {
        ASSERT_TRUE(receivedUnits(*c, 1));
        EXPECT_TRUE(c->track(0).units()[0].data == unit);
    }
    EXPECT_EQ(partial.rtsp().teardown(partial.url()).status, 200);
    EXPECT_EQ(full.rtsp().teardown(full.url()).status, 200);
    EXPECT_TRUE(host.waitForEvents(1, S, 1));
    EXPECT_EQ(host.eventsOf(1), (Events{D, P, S}));
}

// A client that keeps using the URL it asked for instead of the Content-Base
// (the session's full name): requests within the session reach it under the
// name it was set up with.
TEST(SessionEvents, PartialNameRequestsWithinTheSession) {
    TestHost host;
    host.addChannel(1, "cam1", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    std::string url = rtspUrl(port, "am1");
    ASSERT_EQ(client.describe(url).status, 200);
    ASSERT_EQ(client.setupTcp(url + "/track1").status, 200);
    EXPECT_EQ(client.play(url).status, 200);
    EXPECT_EQ(client.teardown(url).status, 200);
    EXPECT_TRUE(host.waitForEvents(1, S, 1, 1000));
}

TEST(SessionEvents, DescriptionsWithoutASession) {
    // Invalid: the host hears STOP at once and the client gets 404.
    struct Invalid {
        const char* name;
        MEDIA_DESC_T desc;
    };
    std::vector<Invalid> invalid;
    auto add = [&](const char* name, void (*change)(MEDIA_DESC_T&), bool hevc = false) {
        MEDIA_DESC_T d = hevc ? describeStreams(&testStream(StreamKind::H265), nullptr) : TestHost::h264Description();
        change(d);
        invalid.push_back({name, d});
    };
    add("novideo", [](MEDIA_DESC_T& d) {
        d.video_codec = 0;
        d.audio_codec = NERIVO_CODEC_PCMU;
        d.audio_sample_rate = 8000;
        d.audio_channels = 1;
    });
    add("nosps", [](MEDIA_DESC_T& d) { d.sps_length = 0; });
    add("nopps", [](MEDIA_DESC_T& d) { d.pps_length = 0; });
    add("longsps", [](MEDIA_DESC_T& d) { d.sps_length = sizeof d.sps + 1; });
    add("longpps", [](MEDIA_DESC_T& d) { d.pps_length = sizeof d.pps + 1; });
    add("hugepps", [](MEDIA_DESC_T& d) { d.pps_length = 0xFFFFFFFF; });
    add("longvps", [](MEDIA_DESC_T& d) { d.vps_length = sizeof d.vps + 1; }, true);
    TestHost host;
    for (size_t i = 0; i < invalid.size(); ++i) host.addChannel(static_cast<int>(i), invalid[i].name, invalid[i].desc);
    const int refusing = 100;
    host.addChannel(refusing, "refused", TestHost::h264Description());
    host.refuseDescribe(refusing);
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    for (size_t i = 0; i < invalid.size(); ++i) {
        SCOPED_TRACE(invalid[i].name);
        EXPECT_EQ(client.describe(rtspUrl(port, invalid[i].name)).status, 404);
        EXPECT_EQ(host.eventsOf(static_cast<int>(i)), (Events{D, S}));
        // No queue was made: pushes are taken and dropped.
        EXPECT_EQ(pushVideo(static_cast<int>(i), unitWithTag(1)), 0);
    }
    // A host that refuses is not told STOP.
    EXPECT_EQ(client.describe(rtspUrl(port, "refused")).status, 404);
    EXPECT_EQ(host.eventsOf(refusing), (Events{D}));
}

TEST(SessionEvents, WithoutCallbackEveryRequestFails) {
    TestHost host;
    host.addChannel(1, "cam1", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port, nullptr, nullptr, 0, false), 0);
    RtspTestClient client(port);
    int describe, setup;
    size_t afterDescribe, afterSetup;
    {
        LogCapture log;
        describe = client.describe(rtspUrl(port, "cam1")).status;
        afterDescribe = log.count("Callback not be set.\n");
        setup = client.setupTcp(rtspUrl(port, "cam1") + "/track1").status;
        afterSetup = log.count("Callback not be set.\n");
    }
    EXPECT_EQ(describe, 404);
    EXPECT_EQ(setup, 404);
    // Once per lookup: a SETUP looks up the stream and then the whole path.
    EXPECT_EQ(afterDescribe, 1u);
    EXPECT_GT(afterSetup, afterDescribe);
}

TEST(SessionEvents, ShutdownWithClientsTellsTheHostNothing) {
    TestHost host;
    for (int id : {1, 2, 3}) host.addChannel(id, "cam" + std::to_string(id), TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    PlayingClient a1(port, "cam1"), a2(port, "cam1"), b(port, "cam2");
    ASSERT_TRUE(a1.start(Transport::Tcp, kVideoOnly)) << a1.failure();
    ASSERT_TRUE(a2.start(Transport::Udp, kVideoOnly)) << a2.failure();
    ASSERT_TRUE(b.start(Transport::Tcp, kVideoOnly)) << b.failure();
    RtspTestClient describer(port);  // cam3: described, never set up
    ASSERT_EQ(describer.describe(rtspUrl(port, "cam3")).status, 200);
    int result;
    std::string log;
    {
        LogCapture capture;
        result = Nerivo_Shutdown();
        log = capture.text();
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(countOf(log, "Callback not be set.\n"), 3u) << "once per session:\n" << log;
    for (int id : {1, 2, 3}) EXPECT_EQ(host.countEvents(id, S), 0) << "channel " << id;
    // The connections are gone.
    EXPECT_TRUE(closedWithin(a1.rtsp(), 3000));
    EXPECT_TRUE(closedWithin(describer, 3000));
}

}  // namespace
