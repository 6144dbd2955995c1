// The SDP description of a channel's session: the audio track of each codec
// row (payload type, rtpmap, AAC config), the session texts, the tracks that
// are left out, and the bounded probe of parameter sets that give no line.
#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "TestHost.h"

namespace {

struct AudioRow {
    uint32_t codec;
    uint32_t rate;
    uint32_t channels;
    uint32_t bits;
    int payloadType;      // on the audio m= line
    const char* rtpmap;   // "" when the line must be absent
    const char* config;   // AAC only
};

// Static payload types only for 8000 Hz mono G.711; the dynamic one (97 after
// the video track) carries the name, the rate and a channel count above 1.
// The AAC config is the AudioSpecificConfig of the pushed stream.
const AudioRow kRows[] = {
    {NERIVO_CODEC_PCMU, 8000, 1, 0, 0, "", nullptr},
    {NERIVO_CODEC_PCMA, 8000, 1, 0, 8, "", nullptr},
    {NERIVO_CODEC_PCMU, 16000, 1, 0, 97, "a=rtpmap:97 PCMU/16000", nullptr},
    {NERIVO_CODEC_PCMU, 8000, 2, 0, 97, "a=rtpmap:97 PCMU/8000/2", nullptr},
    {NERIVO_CODEC_PCMA, 16000, 1, 0, 97, "a=rtpmap:97 PCMA/16000", nullptr},
    {NERIVO_CODEC_PCMA, 8000, 2, 0, 97, "a=rtpmap:97 PCMA/8000/2", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 16, 97, "a=rtpmap:97 G726-16/8000", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 24, 97, "a=rtpmap:97 G726-24/8000", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 32, 97, "a=rtpmap:97 G726-32/8000", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 40, 97, "a=rtpmap:97 G726-40/8000", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 8, 97, "a=rtpmap:97 G726-16/8000", nullptr},
    {NERIVO_CODEC_G726, 8000, 1, 0, 97, "a=rtpmap:97 G726-16/8000", nullptr},
    {NERIVO_CODEC_AAC, 48000, 2, 0, 97, "a=rtpmap:97 MPEG4-GENERIC/48000/2", "1190"},
    {NERIVO_CODEC_AAC, 44100, 1, 0, 97, "a=rtpmap:97 MPEG4-GENERIC/44100", "1208"},
    {NERIVO_CODEC_AAC, 32000, 1, 0, 97, "a=rtpmap:97 MPEG4-GENERIC/32000", "1288"},
    {NERIVO_CODEC_AAC, 48000, 1, 0, 97, "a=rtpmap:97 MPEG4-GENERIC/48000", "1188"},
    {NERIVO_CODEC_AAC, 16000, 1, 0, 97, "a=rtpmap:97 MPEG4-GENERIC/16000", "1408"},
};

std::string rowName(const AudioRow& row) {
    return std::to_string(row.codec) + " " + std::to_string(row.rate) + "/" + std::to_string(row.channels) +
           " bits " + std::to_string(row.bits);
}

void expectAudioTrack(const SdpTrack& audio, const AudioRow& row) {
    EXPECT_EQ(audio.payloadType, row.payloadType);
    EXPECT_EQ(audio.line("b=AS:"), "b=AS:500");
    if (row.rtpmap[0] == '\0')
        EXPECT_EQ(audio.line("a=rtpmap:"), "") << "a static payload type has no rtpmap line";
    else
        EXPECT_EQ(audio.line("a=rtpmap:"), row.rtpmap);
    std::string fmtp = audio.line("a=fmtp:");
    if (row.config == nullptr) {
        EXPECT_EQ(fmtp, "");
        return;
    }
    EXPECT_EQ(fmtp.compare(0, 10, "a=fmtp:97 "), 0) << fmtp;
    EXPECT_NE(fmtp.find("mode=AAC-hbr"), std::string::npos) << fmtp;
    EXPECT_NE(fmtp.find(";config=" + std::string(row.config)), std::string::npos) << fmtp;
    EXPECT_EQ(fmtp.substr(fmtp.size() - 4), row.config) << fmtp;
}

TEST(AudioSdp, EachCodecRowDescribesItsTrack) {
    TestHost host;
    const int rows = static_cast<int>(sizeof kRows / sizeof kRows[0]);
    for (int i = 0; i < rows; ++i) {
        const AudioRow& r = kRows[i];
        host.addChannel(i, "row" + std::to_string(i), TestHost::h264Description(r.codec, r.rate, r.channels, r.bits));
    }
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);
    for (int i = 0; i < rows; ++i) {
        SCOPED_TRACE(rowName(kRows[i]));
        RtspResponse describe = client.describe(rtspUrl(port, "row" + std::to_string(i)));
        ASSERT_EQ(describe.status, 200) << describe.text;
        std::vector<SdpTrack> tracks = sdpTracks(describe.body());
        ASSERT_EQ(tracks.size(), 2u) << describe.body();
        EXPECT_EQ(tracks[0].media, "video");
        EXPECT_EQ(tracks[1].media, "audio");
        expectAudioTrack(tracks[1], kRows[i]);
        EXPECT_EQ(tracks[0].control, "track1");
        EXPECT_EQ(tracks[1].control, "track2");
    }
}

TEST(AudioSdp, SessionTextsAndTracksLeftOut) {
    TestHost host;
    MEDIA_DESC_T noRate = TestHost::h264Description(NERIVO_CODEC_PCMU, 8000, 1);
    noRate.audio_sample_rate = 0;
    MEDIA_DESC_T noChannels = TestHost::h264Description(NERIVO_CODEC_PCMU, 8000, 1);
    noChannels.audio_channels = 0;
    MEDIA_DESC_T unknownAudio = TestHost::h264Description(0x12345, 8000, 1);
    MEDIA_DESC_T audioOnly = TestHost::h264Description(NERIVO_CODEC_AAC, 48000, 2);
    audioOnly.video_codec = kForeignVideoCodec;
    MEDIA_DESC_T hevc = describeStreams(&testStream(StreamKind::H265), nullptr);
    host.addChannel(1, "norate", noRate);
    host.addChannel(2, "nochannels", noChannels);
    host.addChannel(3, "unknownaudio", unknownAudio);
    host.addChannel(4, "audioonly", audioOnly);
    host.addChannel(5, "hevc", hevc);
    host.addChannel(6, "avc", TestHost::h264Description(NERIVO_CODEC_PCMA, 8000, 1));
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient client(port);

    struct Expected {
        const char* name;
        const char* session;  // s= line
        std::vector<std::string> media;
    } cases[] = {
        {"norate", "H.264 Video, streamed by the Nerivo v1.3.16.1206", {"video"}},
        {"nochannels", "H.264 Video, streamed by the Nerivo v1.3.16.1206", {"video"}},
        {"unknownaudio", "H.264 Video, streamed by the Nerivo v1.3.16.1206", {"video"}},
        {"audioonly", "Live Audio, streamed by the Nerivo v1.3.16.1206", {"audio"}},
        {"hevc", "H.265 Video, streamed by the Nerivo v1.3.16.1206", {"video"}},
        {"avc", "H.264 Video, streamed by the Nerivo v1.3.16.1206", {"video", "audio"}},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.name);
        RtspResponse describe = client.describe(rtspUrl(port, c.name));
        ASSERT_EQ(describe.status, 200) << describe.text;
        std::string sdp = describe.body();
        EXPECT_EQ(sdpSessionValue(sdp, 's'), c.session) << sdp;
        EXPECT_EQ(sdpSessionValue(sdp, 'i'), c.name) << sdp;
        std::vector<SdpTrack> tracks = sdpTracks(sdp);
        std::vector<std::string> media;
        for (const SdpTrack& t : tracks) media.push_back(t.media);
        EXPECT_EQ(media, c.media) << sdp;
        if (tracks.empty()) continue;
        if (media[0] == "audio") {
            // Alone in its session the audio track is the first: type 96.
            EXPECT_EQ(tracks[0].payloadType, 96);
            EXPECT_EQ(tracks[0].line("a=rtpmap:"), "a=rtpmap:96 MPEG4-GENERIC/48000/2");
            EXPECT_NE(tracks[0].line("a=fmtp:").find("config=1190"), std::string::npos);
            continue;
        }
        EXPECT_EQ(tracks[0].payloadType, 96);
        EXPECT_EQ(tracks[0].line("b=AS:"), "b=AS:1048576");
        EXPECT_EQ(tracks[0].line("a=rtpmap:"), std::string("a=rtpmap:96 ") + (c.name == std::string("hevc") ? "H265" : "H264") + "/90000");
        EXPECT_NE(tracks[0].line("a=fmtp:96 "), "") << sdp;
    }
}

// An SPS too short for a profile-level-id gives the sink no a=fmtp line: the
// probe gives up after its bound and the track is described without it. A
// second DESCRIBE meanwhile waits for that probe; other channels are served.
TEST(VideoSdp, ParameterSetsWithoutALineEndTheProbe) {
    TestHost host;
    MEDIA_DESC_T shortSps = TestHost::h264Description();
    shortSps.sps_length = 2;
    host.addChannel(1, "short", shortSps);
    host.addChannel(2, "other", TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    RtspTestClient first(port), second(port), other(port);
    std::string request = "DESCRIBE " + rtspUrl(port, "short") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    ASSERT_TRUE(first.sendRaw(request));
    ASSERT_TRUE(host.waitForEvents(1, CHANNEL_EVT_PLAY, 1));  // the probe runs
    ASSERT_TRUE(second.sendRaw(request));
    // Served while the probe still waits: its DESCRIBE has no answer yet.
    EXPECT_EQ(other.describe(rtspUrl(port, "other")).status, 200);
    first.receive(10);
    EXPECT_TRUE(first.pending().empty()) << "the other channel waited for the probe";
    for (RtspTestClient* client : {&first, &second}) {
        RtspResponse response = client->readResponse(6000);
        ASSERT_EQ(response.status, 200);
        std::vector<SdpTrack> tracks = sdpTracks(response.body());
        ASSERT_EQ(tracks.size(), 1u) << response.body();
        EXPECT_EQ(tracks[0].line("a=rtpmap:"), "a=rtpmap:96 H264/90000");
        EXPECT_EQ(tracks[0].line("a=fmtp:"), "") << response.body();
    }
    EXPECT_EQ(host.countEvents(1, CHANNEL_EVT_DESCRIBE), 1);
    EXPECT_EQ(host.countEvents(1, CHANNEL_EVT_PLAY), 1) << "one probe only";
    // Later DESCRIBEs reuse the lines: no new probe.
    RtspTestClient later(port);
    EXPECT_EQ(later.describe(rtspUrl(port, "short")).status, 200);
    EXPECT_EQ(host.countEvents(1, CHANNEL_EVT_PLAY), 1);
}

}  // namespace
