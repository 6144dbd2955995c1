// The sender reports map RTP time to the wall clock the frames were stamped
// with, from the first report on: a frame that waited in the queue before
// PLAY must not shift the mapping (which would skew latency and lip sync).
#include <gtest/gtest.h>

#include <sys/time.h>

#include <thread>

#include "Loopback.h"
#include "RtspTestClient.h"
#include "TestHost.h"

namespace {

uint32_t word(const std::vector<uint8_t>& data, size_t offset) {
    return static_cast<uint32_t>(data[offset]) << 24 | static_cast<uint32_t>(data[offset + 1]) << 16 |
           static_cast<uint32_t>(data[offset + 2]) << 8 | data[offset + 3];
}

double secondsOf(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

TEST(SenderReport, FirstReportMapsAQueuedFrameToItsOwnTime) {
    TestHost host;
    host.addChannel(5, "cam", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";
    ASSERT_EQ(client.describe(url).status, 200);
    ASSERT_EQ(client.setupTcp(url + "/track1", 0).status, 200);

    // A key frame stamped 400 ms ago waits in the queue when PLAY comes.
    timeval stamp;
    gettimeofday(&stamp, nullptr);
    stamp.tv_sec -= 1;
    stamp.tv_usec += 600000;
    if (stamp.tv_usec >= 1000000) {
        stamp.tv_sec += 1;
        stamp.tv_usec -= 1000000;
    }
    uint8_t unit[200] = {0x65};
    PUSH_FRAME_T frame{};
    frame.media_type = NERIVO_MEDIA_VIDEO;
    frame.length = sizeof unit;
    frame.frame_type = 1;
    frame.data = unit;
    frame.timestamp_sec = static_cast<uint32_t>(stamp.tv_sec);
    frame.timestamp_usec = static_cast<uint32_t>(stamp.tv_usec);
    ASSERT_EQ(Nerivo_PushFrame(5, &frame), 0);
    ASSERT_EQ(client.play(url).status, 200);

    auto frames = client.readFrames(2, 3000);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(frames[0].channel, 1) << "the sender report comes first";
    ASSERT_GE(frames[0].data.size(), 28u);
    ASSERT_EQ(frames[0].data[1], 200) << "a sender report";
    ASSERT_EQ(frames[1].channel, 0);
    ASSERT_GE(frames[1].data.size(), 12u);

    double reportWall = (word(frames[0].data, 8) - 2208988800.0) + word(frames[0].data, 12) / 4294967296.0;
    uint32_t reportRtp = word(frames[0].data, 16);
    uint32_t packetRtp = word(frames[1].data, 4);
    double packetWall = reportWall + static_cast<int32_t>(packetRtp - reportRtp) / 90000.0;
    EXPECT_NEAR(packetWall, secondsOf(stamp), 0.005) << "the report maps the frame " << packetWall - secondsOf(stamp)
                                                     << " s away from its stamp";
    EXPECT_EQ(client.teardown(url).status, 200);
}

}  // namespace
