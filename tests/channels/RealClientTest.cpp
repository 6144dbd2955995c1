// Real clients read what a host pushes: ffmpeg copies the stream into a raw
// file over TCP, UDP and HTTP tunnelling, and the units in that file are
// compared with the pushed ones; GStreamer's rtspsrc depayloads and parses
// the stream until its pipeline ends by itself.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ChannelTestSupport.h"
#include "ClientProcess.h"
#include "FramePusher.h"
#include "TestHost.h"

namespace {

constexpr int kChannel = 5;

struct ClientCase {
    StreamKind kind;
    const char* transport;  // ffmpeg's -rtsp_transport / rtspsrc's protocols
};

// A host with one channel carrying the stream, alone in its session.
class StreamingHost {
public:
    explicit StreamingHost(const TestStream& stream) : fStream(stream) {
        MEDIA_DESC_T desc = stream.video() ? describeStreams(&stream, nullptr) : describeStreams(nullptr, &stream);
        fHost.addChannel(kChannel, "live", desc);
        fPort = freeTcpPort();
        fStarted = fHost.start(fPort) == 0;
    }
    bool started() const { return fStarted; }
    std::string url() const { return rtspUrl(fPort, "live"); }
    TestHost& host() { return fHost; }

    // Pushes the whole stream once the client wants frames; false if it
    // never asked within the bound.
    bool pushWhenWanted(int timeoutMs) {
        if (!fHost.waitForEvents(kChannel, CHANNEL_EVT_PLAY, 1, timeoutMs)) return false;
        FramePusher pusher(kChannel, fStream.units);
        pusher.start();
        pusher.join();
        return pusher.failures() == 0;
    }

private:
    const TestStream& fStream;
    TestHost fHost;
    uint16_t fPort = 0;
    bool fStarted = false;
};

const char* ffmpegFormat(StreamKind kind) {
    switch (kind) {
        case StreamKind::H264: return "h264";
        case StreamKind::H265: return "hevc";
        case StreamKind::PCMU: return "mulaw";
        case StreamKind::PCMA: return "alaw";
        case StreamKind::G726: return "g726le";  // RTP carries G.726 in the little-endian packing
        case StreamKind::AAC: return "adts";
    }
    return "";
}

bool isParameterSet(const TestStream& stream, const Bytes& nal) {
    return nal == stream.vps || nal == stream.sps || nal == stream.pps;
}

// ffmpeg writes the units it received, in order. Tolerated: parameter sets
// it inserts from the description (before key frames), and units before
// the first key frame that it drops while it waits for one.
void expectVideoCopy(const TestStream& stream, const Bytes& file) {
    std::vector<Bytes> got = splitAnnexB(file);
    const auto& pushed = stream.units;
    size_t next = 0;
    while (next < pushed.size() && pushed[next].frameType != NERIVO_FRAME_KEY) ++next;
    // Parameter sets before the key picture belong to its access unit.
    while (next > 0 && isParameterSet(stream, pushed[next - 1].data)) --next;
    if (!got.empty() && !pushed.empty() && got[0] == pushed[0].data) next = 0;
    size_t inserted = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (next < pushed.size() && got[i] == pushed[next].data) {
            ++next;
        } else if (isParameterSet(stream, got[i])) {
            ++inserted;
        } else {
            ADD_FAILURE() << "unit " << i << " of ffmpeg's copy (" << got[i].size()
                          << " bytes) is not the next pushed unit " << next;
            return;
        }
    }
    EXPECT_EQ(next, pushed.size()) << "ffmpeg's copy ends early (" << got.size() << " units, " << inserted
                                   << " inserted parameter sets)";
}

void expectAacCopy(const TestStream& stream, const Bytes& file) {
    // The ADTS headers come from the config of the SDP: they must declare
    // what was pushed (AAC-LC, 48000 Hz = index 3, one channel).
    AdtsHeader header = firstAdtsHeader(file);
    ASSERT_TRUE(header.valid) << "no ADTS stream from ffmpeg";
    EXPECT_EQ(header.profile, 1u);
    EXPECT_EQ(header.frequencyIndex, 3u);
    EXPECT_EQ(header.channelConfiguration, stream.channels);
    std::vector<Bytes> got = splitAdts(file);
    ASSERT_EQ(got.size(), stream.units.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i] == stream.units[i].data) << "access unit " << i;
}

void expectRawAudioCopy(const TestStream& stream, const Bytes& file) {
    Bytes all;
    for (const PushUnit& unit : stream.units) all.insert(all.end(), unit.data.begin(), unit.data.end());
    // As over RtspTestClient: less than one packet may still wait in the sink.
    ASSERT_LE(file.size(), all.size());
    EXPECT_LT(all.size() - file.size(), kHeldAudioBytes);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), all.begin())) << "ffmpeg's copy differs from the pushed bytes";
}

class FfmpegCopy : public ::testing::TestWithParam<ClientCase> {};

TEST_P(FfmpegCopy, HoldsThePushedUnits) {
    const ClientCase& c = GetParam();
    const TestStream& stream = testStream(c.kind);
    if (stream.units.empty() || !ClientProcess::available("ffmpeg")) GTEST_SKIP() << "no ffmpeg or no stream";
    TempDir dir;
    std::string out = dir.path() + "/copy.bin";
    StreamingHost server(stream);
    ASSERT_TRUE(server.started());
    ClientProcess ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", c.transport, "-i", server.url(),
                          "-c", "copy", "-f", ffmpegFormat(c.kind), "-y", out});
    ASSERT_TRUE(ffmpeg.started());
    ASSERT_TRUE(server.pushWhenWanted(10000)) << ffmpeg.errors();
    // Time for the last packets to reach ffmpeg, then the server goes away:
    // the closed connection ends ffmpeg's input and it flushes its copy.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    Nerivo_Shutdown();
    if (!ffmpeg.waitForExit(15000)) ffmpeg.stop(2000);
    EXPECT_FALSE(ffmpeg.killed()) << ffmpeg.errors();
    Bytes file = readFile(out);
    ASSERT_FALSE(file.empty()) << ffmpeg.errors();
    if (stream.video())
        expectVideoCopy(stream, file);
    else if (c.kind == StreamKind::AAC)
        expectAacCopy(stream, file);
    else
        expectRawAudioCopy(stream, file);
}

// Every transport for the video codecs and AAC; the raw audio codecs one
// transport each.
const ClientCase kFfmpegCases[] = {
    {StreamKind::H264, "tcp"}, {StreamKind::H264, "udp"}, {StreamKind::H264, "http"},
    {StreamKind::H265, "tcp"}, {StreamKind::H265, "udp"}, {StreamKind::H265, "http"},
    {StreamKind::AAC, "tcp"},  {StreamKind::AAC, "udp"},  {StreamKind::AAC, "http"},
    {StreamKind::PCMU, "tcp"}, {StreamKind::PCMA, "udp"}, {StreamKind::G726, "http"},
};

std::string caseName(const ::testing::TestParamInfo<ClientCase>& info) {
    return std::string(streamKindName(info.param.kind)) + "_" + info.param.transport;
}

INSTANTIATE_TEST_SUITE_P(Streams, FfmpegCopy, ::testing::ValuesIn(kFfmpegCases), caseName);

struct GstCase {
    StreamKind kind;
    const char* protocols;
    std::vector<std::string> chain;  // depayloader and parser
    int buffers;                     // the pipeline ends after this many
};

// The pipeline must have reached its end before any error. When it then
// shuts down, rtspsrc's CLOSE can cut short the PAUSE it is still sending
// (its own flush: "Could not write to resource."); that one is tolerated.
void expectEndOfStream(int exitCode, const std::string& output) {
    size_t eos = output.find("Got EOS from element \"pipeline0\"");
    ASSERT_NE(eos, std::string::npos) << output;
    size_t firstError = output.find("ERROR");
    EXPECT_TRUE(firstError == std::string::npos || firstError > eos) << output;
    if (exitCode == 0) return;
    for (size_t at = output.find("ERROR: from element", eos); at != std::string::npos;
         at = output.find("ERROR: from element", at + 1)) {
        size_t end = output.find('\n', at);
        EXPECT_NE(output.substr(at, end - at).find("rtspsrc0: Could not write to resource."), std::string::npos)
            << output;
    }
}

class GstPipeline : public ::testing::TestWithParam<GstCase> {};

TEST_P(GstPipeline, RunsToItsEnd) {
    const GstCase& c = GetParam();
    const TestStream& stream = testStream(c.kind);
    if (stream.units.empty() || !ClientProcess::available("gst-launch-1.0")) GTEST_SKIP() << "no gst or no stream";
    StreamingHost server(stream);
    ASSERT_TRUE(server.started());
    std::string location = server.url();
    bool tunnel = std::string(c.protocols) == "http";
    if (tunnel) location.replace(0, 4, "rtsph");  // rtsph:// tunnels over HTTP
    std::vector<std::string> argv = {"gst-launch-1.0", "rtspsrc", "location=" + location,
                                     std::string("protocols=") + (tunnel ? "tcp" : c.protocols)};
    for (const std::string& element : c.chain) {
        argv.push_back("!");
        argv.push_back(element);
    }
    for (const char* tail : {"!", "identity", "", "!", "fakesink"}) argv.push_back(tail);
    argv[argv.size() - 3] = "eos-after=" + std::to_string(c.buffers);
    ClientProcess gst(argv, true);
    ASSERT_TRUE(gst.started());
    ASSERT_TRUE(server.pushWhenWanted(10000)) << gst.output();
    EXPECT_TRUE(gst.waitForExit(10000)) << "the pipeline did not end: " << gst.output();
    gst.stop(2000);
    expectEndOfStream(gst.exitCode(), gst.output());
    // Its TEARDOWN (or the closed connection) ends the channel's session.
    EXPECT_TRUE(server.host().waitForEvents(kChannel, CHANNEL_EVT_STOP, 1, 5000));
}

const GstCase kGstCases[] = {
    {StreamKind::H264, "tcp", {"rtph264depay", "h264parse"}, 20},
    {StreamKind::H264, "udp", {"rtph264depay", "h264parse"}, 20},
    {StreamKind::H265, "http", {"rtph265depay", "h265parse"}, 20},
    {StreamKind::AAC, "udp", {"rtpmp4gdepay", "aacparse"}, 30},
    {StreamKind::PCMU, "tcp", {"rtppcmudepay"}, 5},
    {StreamKind::PCMA, "http", {"rtppcmadepay"}, 5},
    {StreamKind::G726, "udp", {"rtpg726depay"}, 2},
};

std::string gstCaseName(const ::testing::TestParamInfo<GstCase>& info) {
    return std::string(streamKindName(info.param.kind)) + "_" + info.param.protocols;
}

INSTANTIATE_TEST_SUITE_P(Streams, GstPipeline, ::testing::ValuesIn(kGstCases), gstCaseName);

}  // namespace
