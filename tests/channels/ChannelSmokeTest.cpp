// A host's frames reach a client end to end: DESCRIBE asks the host, PLAY
// starts the stream, pushed NAL units arrive over interleaved RTP.
#include <gtest/gtest.h>

#include <thread>

#include "LogCapture.h"
#include "Loopback.h"
#include "RtspTestClient.h"
#include "TestHost.h"

namespace {

TEST(ChannelSmoke, DescribeSetupPlayDeliversPushedUnits) {
    TestHost host;
    host.addChannel(7, "cam1", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam1";
    RtspResponse describe = client.describe(url);
    ASSERT_EQ(describe.status, 200) << describe.text;
    EXPECT_NE(describe.body().find("a=rtpmap:96 H264/90000"), std::string::npos) << describe.body();
    EXPECT_NE(describe.body().find("packetization-mode=1"), std::string::npos) << describe.body();
    EXPECT_EQ(host.countEvents(7, CHANNEL_EVT_DESCRIBE), 1);
    EXPECT_EQ(host.countEvents(7, CHANNEL_EVT_PLAY), 1);
    ASSERT_EQ(client.setupTcp(url + "/track1", 0).status, 200);
    RtspResponse play = client.play(url);
    ASSERT_EQ(play.status, 200) << play.text;

    uint8_t unit[3000];
    for (size_t i = 0; i < sizeof unit; ++i) unit[i] = static_cast<uint8_t>(i);
    unit[0] = 0x65;
    PUSH_FRAME_T frame{};
    frame.media_type = NERIVO_MEDIA_VIDEO;
    frame.length = sizeof unit;
    frame.frame_type = 1;
    frame.data = unit;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(Nerivo_PushFrame(7, &frame), 0);
    auto frames = client.readFrames(8, 2000);
    size_t rtp = 0;
    for (auto& f : frames) rtp += f.channel == 0;
    EXPECT_GE(rtp, 3u) << "a 3000-byte unit needs three FU-A packets";
    EXPECT_EQ(client.teardown(url).status, 200);
    EXPECT_TRUE(host.waitForEvents(7, CHANNEL_EVT_STOP, 1));
}

}  // namespace
