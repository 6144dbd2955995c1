// The pull protocol between sources, framers and sinks: starting and
// refusing, closure, truncation, start codes, parameter sets, timestamps and
// the packing of several audio frames per packet.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/H265VideoRTPSink.h"
#include "rtp/H265VideoStreamDiscreteFramer.h"
#include "rtp/MPEG4GenericRTPSink.h"
#include "rtp/OutPacketBuffer.h"
#include "rtp/SimpleRTPSink.h"

namespace {

class SinkProtocolTest : public RtpTestEnv {
protected:
    void SetUp() override {
        RtpTestEnv::SetUp();
        gs = Groupsock::createNew(*env, 0);
        receiver = openUdpReceiver(port);
        gs->addDestination(htonl(INADDR_LOOPBACK), port, 1);
    }
    void TearDown() override {
        Medium::close(gs);
        ::close(receiver);
        RtpTestEnv::TearDown();
    }
    Groupsock* gs = nullptr;
    int receiver = -1;
    uint16_t port = 0;
};

TEST_F(SinkProtocolTest, StartPlayingRefusesASecondSourceAndAForeignFramer) {
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
    TestFrameSource* plain = TestFrameSource::createNew(*env, {}, 1000, false);
    EXPECT_FALSE(sink->startPlaying(*plain, nullptr, nullptr));  // not an H.264 framer
    EXPECT_STREQ(env->getResultMsg(), "MediaSink::startPlaying(): source is not compatible!");
    FramedSource* h265 = H265VideoStreamDiscreteFramer::createNew(*env, plain);
    EXPECT_FALSE(sink->startPlaying(*h265, nullptr, nullptr));

    FramedSource* h264 = H264VideoStreamDiscreteFramer::createNew(
        *env, TestFrameSource::createNew(*env, {}, 1000, false));
    EXPECT_TRUE(sink->startPlaying(*h264, nullptr, nullptr));
    EXPECT_FALSE(sink->startPlaying(*h264, nullptr, nullptr));
    EXPECT_STREQ(env->getResultMsg(), "This sink is already being played");
    sink->stopPlaying();
    EXPECT_TRUE(sink->startPlaying(*h264, nullptr, nullptr));  // free again after a stop
    Medium::close(sink);
    Medium::close(h264);
    Medium::close(h265);  // closes `plain`
}

TEST_F(SinkProtocolTest, ClosureSendsThePartialPacketAndMayCloseTheSink) {
    SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, gs, 0, 8000, "audio", "PCMU");
    std::vector<TestFrame> frames;
    for (int i = 0; i < 10; ++i) {
        frames.push_back({std::vector<uint8_t>(160, static_cast<uint8_t>(i)), {1, i * 20000}});
    }
    TestFrameSource* source = TestFrameSource::createNew(*env, frames, 500, true);
    struct Ended {
        SimpleRTPSink* sink;
        bool called = false;
    } ended{sink};
    ASSERT_TRUE(sink->startPlaying(*source, [](void* data) {
        auto* e = static_cast<Ended*>(data);
        e->called = true;
        Medium::close(e->sink);  // inside the sink's own closure handling
    }, &ended));
    int64_t deadline = BasicTaskScheduler::nowMicroseconds() + 3000000;
    while (!ended.called && BasicTaskScheduler::nowMicroseconds() < deadline) scheduler->SingleStep(1000);
    ASSERT_TRUE(ended.called);
    std::vector<RtpPacket> packets = receiveRtpPackets(receiver);
    // Seven frames (1120 bytes) reach the preferred size; the last three leave at the end.
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].payload.size(), 1120u);
    EXPECT_EQ(packets[1].payload.size(), 480u);
    EXPECT_EQ(packets[1].payload[0], 7);
    EXPECT_EQ(packets[1].timestamp - packets[0].timestamp, 7u * 160);  // first frame of each packet
    EXPECT_EQ(static_cast<uint16_t>(packets[1].seq - packets[0].seq), 1);
    EXPECT_FALSE(packets[0].marker || packets[1].marker);  // audio: no marker bit
    Medium::close(source);
}

TEST_F(SinkProtocolTest, StartCodeIsReportedAndPassedOnUnchanged) {
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
    std::vector<uint8_t> withStartCode{0, 0, 0, 1, 0x65, 1, 2, 3};
    std::vector<uint8_t> shortStartCode{0, 0, 1, 0x41, 9};
    std::vector<uint8_t> sps{0x67, 0x42, 0xC0, 0x1E, 0xDA};
    std::vector<uint8_t> pps{0x68, 0xCE, 0x3C, 0x80};
    std::vector<uint8_t> idr = makeNalUnit(264, 100, true);
    TestFrameSource* source = TestFrameSource::createNew(
        *env, {{withStartCode, {1, 0}}, {shortStartCode, {1, 0}}, {sps, {1, 0}}, {pps, {1, 0}}, {idr, {1, 0}}},
        -1, false);
    auto* framer = H264VideoStreamDiscreteFramer::createNew(*env, source);
    StdoutCapture out;
    ASSERT_TRUE(sink->startPlaying(*framer, nullptr, nullptr));
    EXPECT_EQ(out.count("H264VideoStreamDiscreteFramer error: MPEG 'start code' seen in the input\n"), 2u);
    std::vector<RtpPacket> packets = receiveRtpPackets(receiver);
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_TRUE(packets[0].payload == withStartCode);
    EXPECT_TRUE(packets[1].payload == shortStartCode);
    EXPECT_FALSE(packets[0].marker);  // not known as a VCL unit
    EXPECT_FALSE(packets[2].marker);  // SPS
    EXPECT_TRUE(packets[4].marker);   // IDR slice ends the access unit
    EXPECT_TRUE(framer->lastSPS() == sps);
    EXPECT_TRUE(framer->lastPPS() == pps);
    // Without parameter sets of its own, the sink describes the framer's.
    ASSERT_NE(sink->auxSDPLine(), nullptr);
    EXPECT_STREQ(sink->auxSDPLine(),
                 "a=fmtp:96 packetization-mode=1;profile-level-id=42C01E;"
                 "sprop-parameter-sets=Z0LAHto=,aM48gA==\r\n");
    Medium::close(sink);
    Medium::close(framer);
}

TEST_F(SinkProtocolTest, OversizeFrameIsCutToTheBufferWithAWarning) {
    unsigned saved = OutPacketBuffer::maxSize;
    OutPacketBuffer::maxSize = 4000;
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
    OutPacketBuffer::maxSize = saved;
    std::vector<uint8_t> nal = makeNalUnit(264, 200000, true);
    // The first unit is cut to the buffer's frame size; the next one fits whole.
    std::vector<uint8_t> small = makeNalUnit(264, 3000, true);
    auto* framer = H264VideoStreamDiscreteFramer::createNew(
        *env, TestFrameSource::createNew(*env, {{nal, {1, 0}}, {small, {1, 0}}}, -1, false));
    StdoutCapture out;
    ASSERT_TRUE(sink->startPlaying(*framer, nullptr, nullptr));
    EXPECT_EQ(out.count("was cut to"), 1u);
    NalAssembly assembly = reassembleNalUnits(264, receiveRtpPackets(receiver));
    ASSERT_EQ(assembly.error, "");
    ASSERT_EQ(assembly.nalUnits.size(), 2u);
    EXPECT_EQ(assembly.nalUnits[0].size(), 4000u);
    EXPECT_TRUE(std::equal(assembly.nalUnits[0].begin(), assembly.nalUnits[0].end(), nal.begin()));
    EXPECT_TRUE(assembly.nalUnits[1] == small);
    Medium::close(sink);
    Medium::close(framer);
}

TEST_F(SinkProtocolTest, TimestampsFollowPresentationTimesFromThePresetStart) {
    H265VideoRTPSink* sink = H265VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0, nullptr, 0);
    uint32_t preset = sink->presetNextTimestamp();
    uint16_t firstSeq = sink->currentSeqNo();
    std::vector<uint8_t> nal = makeNalUnit(265, 500, true);
    auto* framer = H265VideoStreamDiscreteFramer::createNew(
        *env, TestFrameSource::createNew(*env, {{nal, {50, 0}}, {nal, {50, 40000}}, {nal, {51, 0}}}, -1, false));
    ASSERT_TRUE(sink->startPlaying(*framer, nullptr, nullptr));
    std::vector<RtpPacket> packets = receiveRtpPackets(receiver);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].timestamp, preset);
    EXPECT_EQ(packets[0].seq, firstSeq);
    EXPECT_EQ(packets[1].timestamp - packets[0].timestamp, 3600u);
    EXPECT_EQ(packets[2].timestamp - packets[0].timestamp, 90000u);
    EXPECT_EQ(packets[0].ssrc, sink->SSRC());
    EXPECT_EQ(sink->packetCount(), 3u);
    EXPECT_EQ(sink->octetCount(), 1500u);
    // Once packets are out, a later preset leaves the timeline alone.
    sink->presetNextTimestamp();
    EXPECT_EQ(sink->convertToRTPTimestamp({51, 0}), packets[2].timestamp);
    Medium::close(sink);
    Medium::close(framer);
}

TEST_F(SinkProtocolTest, AacUnitsCarryTheirAuHeader) {
    MPEG4GenericRTPSink* sink =
        MPEG4GenericRTPSink::createNew(*env, gs, 97, 48000, "audio", "AAC-hbr", "1190", 2);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(MPEG4GenericRTPSink::createNew(*env, gs, 97, 48000, "audio", "CELP-cbr", "1190", 2),
              nullptr);
    std::vector<uint8_t> small(300, 1), large(3000, 2), tooLarge(9000, 3);
    TestFrameSource* source = TestFrameSource::createNew(
        *env, {{small, {1, 0}}, {large, {1, 21333}}, {tooLarge, {1, 42666}}, {small, {1, 64000}}}, -1, false);
    StdoutCapture out;
    ASSERT_TRUE(sink->startPlaying(*source, nullptr, nullptr));
    EXPECT_EQ(out.count("access unit of 9000 bytes dropped"), 1u);
    std::vector<RtpPacket> packets = receiveRtpPackets(receiver);
    // 300 -> 1 packet; 3000 -> 3 fragments of at most 1440; 9000 dropped; 300 -> 1.
    ASSERT_EQ(packets.size(), 5u);
    const unsigned sizes[] = {300, 3000, 3000, 3000, 300};
    const bool markers[] = {true, false, false, true, true};
    size_t carried = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<uint8_t>& p = packets[i].payload;
        ASSERT_GE(p.size(), 4u);
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[1], 16);  // AU-headers-length: 16 bits
        EXPECT_EQ(((p[2] << 8) | p[3]) >> 3, sizes[i]);  // AU-size of the whole unit
        EXPECT_EQ(p[3] & 7, 0);                             // AU-index
        EXPECT_EQ(packets[i].marker, markers[i]);
        EXPECT_LE(packets[i].size, 1456u);
        if (i >= 1 && i <= 3) carried += p.size() - 4;
    }
    EXPECT_EQ(carried, 3000u);
    EXPECT_EQ(packets[1].timestamp - packets[0].timestamp, 1024u);
    Medium::close(sink);
    Medium::close(source);
}

}  // namespace
