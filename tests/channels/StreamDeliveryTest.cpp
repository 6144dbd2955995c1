// Real streams pushed by a host thread at their frame rate arrive byte for
// byte and in order: NAL units for H.264 and H.265 (FU-A / FU reassembled),
// access units for AAC (behind RFC 3640 AU headers), the byte stream of
// G.711 and G.726, over TCP interleaved and over UDP.
#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "FramePusher.h"
#include "LogCapture.h"
#include "TestHost.h"

namespace {

struct DeliveryCase {
    const char* name;
    bool hasVideo;
    StreamKind video;
    bool hasAudio;
    StreamKind audio;
};

// Each audio codec once, beside video or in an audio-only session.
const DeliveryCase kCases[] = {
    {"h264", true, StreamKind::H264, false, StreamKind::PCMU},
    {"h265", true, StreamKind::H265, false, StreamKind::PCMU},
    {"h264+pcmu", true, StreamKind::H264, true, StreamKind::PCMU},
    {"h265+aac", true, StreamKind::H265, true, StreamKind::AAC},
    {"pcma", false, StreamKind::H264, true, StreamKind::PCMA},
    {"g726", false, StreamKind::H264, true, StreamKind::G726},
    {"aac", false, StreamKind::H264, true, StreamKind::AAC},
};

void runCase(const DeliveryCase& c, Transport transport) {
    const TestStream* video = c.hasVideo ? &testStream(c.video) : nullptr;
    const TestStream* audio = c.hasAudio ? &testStream(c.audio) : nullptr;
    if ((video != nullptr && video->units.empty()) || (audio != nullptr && audio->units.empty()))
        GTEST_SKIP() << "ffmpeg could not make the streams of " << c.name;
    constexpr int kChannel = 3;
    TestHost host;
    host.addChannel(kChannel, "live", describeStreams(video, audio));
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);

    std::vector<TrackAssembly::Format> formats;
    if (video != nullptr) formats.push_back(TrackAssembly::formatOf(video->kind));
    if (audio != nullptr) formats.push_back(TrackAssembly::formatOf(audio->kind));
    PlayingClient client(port, "live");
    ASSERT_TRUE(client.start(transport, formats)) << client.failure();
    // The host starts pushing once frames are wanted.
    ASSERT_TRUE(host.waitForEvents(kChannel, CHANNEL_EVT_PLAY, 1));
    std::vector<PushUnit> all = mergeUnits(video, audio);
    FramePusher pusher(kChannel, all);
    pusher.start();

    std::vector<PushUnit> pushedVideo = unitsOfMedium(all, NERIVO_MEDIA_VIDEO);
    std::vector<PushUnit> pushedAudio = unitsOfMedium(all, NERIVO_MEDIA_AUDIO);
    size_t audioTrack = video != nullptr ? 1 : 0;
    auto done = [&] {
        return (video == nullptr || assemblyComplete(client.track(0), pushedVideo)) &&
               (audio == nullptr || assemblyComplete(client.track(audioTrack), pushedAudio));
    };
    int64_t durationMs = all.back().ptsUs / 1000;
    client.receiveUntil(done, static_cast<int>(durationMs) + 5000);
    pusher.join();
    EXPECT_EQ(pusher.failures(), 0);
    // Each track's packets carry the payload type its m= line announced.
    std::vector<SdpTrack> tracks = sdpTracks(client.sdp());
    for (size_t i = 0; i < tracks.size(); ++i)
        EXPECT_EQ(client.track(i).payloadType(), tracks[i].payloadType) << tracks[i].media;
    if (video != nullptr) expectDelivered(pushedVideo, client.track(0), *video);
    if (audio != nullptr) expectDelivered(pushedAudio, client.track(audioTrack), *audio);
    EXPECT_EQ(client.rtsp().teardown(client.url()).status, 200);
    EXPECT_TRUE(host.waitForEvents(kChannel, CHANNEL_EVT_STOP, 1));
}

class StreamDelivery : public ::testing::TestWithParam<std::tuple<DeliveryCase, Transport>> {};

TEST_P(StreamDelivery, ArrivesAsPushed) { runCase(std::get<0>(GetParam()), std::get<1>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Tracks, StreamDelivery,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Transport::Tcp, Transport::Udp)),
                         [](const auto& info) {
                             std::string name = std::string(std::get<0>(info.param).name) + "_" +
                                                transportName(std::get<1>(info.param));
                             for (char& ch : name)
                                 if (ch == '+') ch = '_';
                             return name;
                         });

// The one place where frames are lost by design: a queue that overflows
// drops its oldest frames and lets the reader go on at a key frame. Units
// pushed before PLAY, more than the 3 MiB video queue holds, arrive as the
// tail of what was pushed, beginning at a key frame.
TEST(StreamDelivery, OverflowBeforePlayLeavesATailFromAKeyFrame) {
    constexpr int kChannel = 4;
    constexpr int kUnits = 60;
    TestHost host;
    host.addChannel(kChannel, "busy", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    std::string url = rtspUrl(port, "busy");
    ASSERT_EQ(client.describe(url).status, 200);
    ASSERT_EQ(client.setupTcp(url + "/track1", 0).status, 200);

    std::vector<PushUnit> pushed;
    for (int i = 0; i < kUnits; ++i) {
        bool key = i % 10 == 0;
        Bytes data(100000, static_cast<uint8_t>(i));
        data[0] = key ? 0x65 : 0x41;
        pushed.push_back({NERIVO_MEDIA_VIDEO, key ? NERIVO_FRAME_KEY : 0u, i * 40000, data});
    }
    timeval base{1700000000, 0};
    {
        LogCapture quiet;  // the queue reports each overflow
        for (const PushUnit& unit : pushed) ASSERT_EQ(pushUnit(kChannel, unit, base), 0);
    }
    ASSERT_EQ(client.play(url).status, 200);
    TrackAssembly video(TrackAssembly::Format::H264);
    // The last unit pushed is always kept: read until it is there.
    auto lastArrived = [&] { return !video.units().empty() && video.units().back().data == pushed.back().data; };
    for (int waited = 0; waited < 5000 && !lastArrived() && video.error().empty(); waited += 100)
        for (const InterleavedFrame& frame : client.readFrames(1000000, 100))
            if (frame.channel == 0) video.addRaw(frame.data.data(), frame.data.size());
    for (const InterleavedFrame& frame : client.readFrames(1000000, 200))  // nothing more may come
        if (frame.channel == 0) video.addRaw(frame.data.data(), frame.data.size());
    ASSERT_EQ(video.error(), "");
    const auto& got = video.units();
    ASSERT_FALSE(got.empty());
    size_t first = kUnits - got.size();
    EXPECT_EQ(pushed[first].frameType, NERIVO_FRAME_KEY) << "the reader goes on at unit " << first;
    EXPECT_LE(got.size() * 100052, 0x300000u) << "no more than the queue holds";
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(got[i].data == pushed[first + i].data) << "unit " << i << " is not pushed unit " << first + i;
}

}  // namespace
