// Interleaved delivery: framing, the flush rules, per-destination channel ids,
// the end-of-burst flush, removal of failed or stalled destinations. Writes are
// counted on SOCK_SEQPACKET socket pairs, where every send is one record.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <numeric>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/RTCPInstance.h"
#include "rtp/SimpleRTPSink.h"
#include "rtp/TCPStreamSocket.h"

namespace {

std::vector<std::vector<uint8_t>> readRecords(int fd) {
    std::vector<std::vector<uint8_t>> records;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        records.emplace_back(buffer, buffer + n);
    }
    return records;
}

std::vector<size_t> sizesOf(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<size_t> sizes;
    for (const auto& r : records) sizes.push_back(r.size());
    return sizes;
}

// Every framed packet of the records, in order.
std::vector<InterleavedFrame> framesOf(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<InterleavedFrame> frames;
    for (const auto& r : records) EXPECT_TRUE(splitInterleaved(r, frames));
    return frames;
}

// One client connection: a SEQPACKET pair whose server end has a TCPStreamSocket.
struct Client {
    SocketPair pair{SOCK_SEQPACKET};
    TCPStreamSocket* socket = nullptr;
    Client(UsageEnvironment& env, size_t backlogLimit = TCPStreamSocket::kDefaultBacklogLimit) {
        socket = TCPStreamSocket::createNew(env, pair.a, backlogLimit);
    }
    ~Client() { delete socket; }
    std::vector<std::vector<uint8_t>> records() { return readRecords(pair.b); }
};

// A packet of `size` bytes whose bytes tell which packet it is.
std::vector<uint8_t> packetOf(unsigned size, uint8_t id) { return std::vector<uint8_t>(size, id); }

class TCPBatchTest : public RtpTestEnv {
protected:
    // A NAL unit of 1 + 1442 * full bytes (+ tail): `full` 1456-byte fragments and,
    // with a tail, one shorter packet.
    static std::vector<uint8_t> nalOfFragments(unsigned full, unsigned tail) {
        return makeNalUnit(264, 1 + 1442 * full + tail, true);
    }

    struct VideoStream {
        Groupsock* gs;
        H264VideoRTPSink* sink;
        FramedSource* framer;
        TestFrameSource* source;
    };
    VideoStream startVideo(std::vector<std::vector<uint8_t>> nals, int64_t delayUs,
                           const std::vector<std::pair<int, uint8_t>>& destinations) {
        VideoStream s;
        s.gs = Groupsock::createNew(*env, 0);
        s.sink = H264VideoRTPSink::createNew(*env, s.gs, 96, nullptr, 0, nullptr, 0);
        for (const auto& d : destinations) EXPECT_TRUE(s.sink->addStreamSocket(d.first, d.second));
        std::vector<TestFrame> frames;
        int64_t usec = 0;
        for (auto& nal : nals) {
            frames.push_back({std::move(nal), {10, static_cast<suseconds_t>(usec)}});
            usec += 40000;
        }
        s.source = TestFrameSource::createNew(*env, frames, delayUs, false);
        s.framer = H264VideoStreamDiscreteFramer::createNew(*env, s.source);
        EXPECT_TRUE(s.sink->startPlaying(*s.framer, nullptr, nullptr));
        return s;
    }
    void stop(VideoStream& s) {
        Medium::close(s.sink);
        Medium::close(s.framer);
        Medium::close(s.gs);
    }
    void runUntilDelivered(TestFrameSource* source, unsigned count) {
        int64_t deadline = BasicTaskScheduler::nowMicroseconds() + 5000000;
        while (source->delivered() < count && BasicTaskScheduler::nowMicroseconds() < deadline) {
            scheduler->SingleStep(1000);
        }
        ASSERT_EQ(source->delivered(), count);
    }
};

TEST_F(TCPBatchTest, FlushRulesShapeTheWritesWithinABurst) {
    struct Case {
        const char* name;
        uint8_t channel;
        std::vector<unsigned> sizes;
        std::vector<size_t> writesBeforeEnd;  // while the burst runs
        std::vector<size_t> writesAtEnd;      // added by the end-of-burst flush
    } cases[] = {
        {"ch 0: full-size packets wait for the burst's end", 0, {1456, 1456, 1456}, {}, {4380}},
        {"ch 0: a shorter packet flushes", 0, {1456, 1456, 500}, {3424}, {}},
        {"ch 0: 8 packets flush in one write", 0, std::vector<unsigned>(10, 1456), {11680}, {2920}},
        {"ch 1: every packet at once", 1, {100, 100}, {104, 104}, {}},
        {"ch 2: every packet at once", 2, {1456, 1456}, {1460, 1460}, {}},
        {"ch 3: every packet at once", 3, {80}, {84}, {}},
        {"ch 4: short packets wait", 4, {100, 100, 100}, {}, {312}},
        {"ch 4: groups of 8", 4, std::vector<unsigned>(9, 1456), {11680}, {1460}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(*env);
        Medium* owner = Groupsock::createNew(*env, 0);
        {
            RTPInterface rtp(owner, nullptr);
            ASSERT_TRUE(rtp.addStreamSocket(client.pair.a, c.channel));
            std::vector<std::vector<uint8_t>> packets;
            for (unsigned size : c.sizes) {
                packets.push_back(packetOf(size, static_cast<uint8_t>(packets.size())));
                rtp.queuePacket(nullptr, 0, packets.back().data(), size);
            }
            auto before = client.records();
            EXPECT_EQ(sizesOf(before), c.writesBeforeEnd);
            EXPECT_TRUE(rtp.flush());
            auto after = client.records();
            EXPECT_EQ(sizesOf(after), c.writesAtEnd);
            before.insert(before.end(), after.begin(), after.end());
            auto frames = framesOf(before);
            ASSERT_EQ(frames.size(), packets.size());
            for (size_t i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(frames[i].channel, c.channel);
                EXPECT_TRUE(frames[i].data == packets[i]) << "packet " << i;
            }
        }
        Medium::close(owner);
    }
}

TEST_F(TCPBatchTest, MixedSizesKeepTheirOrder) {
    // The 400-byte packet would still fit the first buffer after the second
    // took a packet; it must not overtake that packet.
    Client client(*env);
    Medium* owner = Groupsock::createNew(*env, 0);
    {
        RTPInterface rtp(owner, nullptr);
        ASSERT_TRUE(rtp.addStreamSocket(client.pair.a, 5));
        std::vector<unsigned> sizes{1456, 1456, 1456, 1456, 1456, 1000, 1000, 400};
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::vector<uint8_t> packet = packetOf(sizes[i], static_cast<uint8_t>(i));
            rtp.queuePacket(nullptr, 0, packet.data(), sizes[i]);  // copied at once
        }
        auto records = client.records();
        ASSERT_EQ(records.size(), 1u);  // 8 packets: both buffers in one write
        auto frames = framesOf(records);
        ASSERT_EQ(frames.size(), sizes.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].data.size(), sizes[i]);
            EXPECT_EQ(frames[i].data[0], i);
        }
    }
    Medium::close(owner);
}

TEST_F(TCPBatchTest, OversizePacketIsDroppedWithItsLine) {
    Client client(*env);
    Medium* owner = Groupsock::createNew(*env, 0);
    {
        RTPInterface rtp(owner, nullptr);
        ASSERT_TRUE(rtp.addStreamSocket(client.pair.a, 1));
        StdoutCapture out;
        std::vector<uint8_t> huge(9000, 1), small(50, 2);
        rtp.sendPacket(huge.data(), 9000);
        rtp.sendPacket(small.data(), 50);
        EXPECT_EQ(out.count("Video rtp packet .....\n"), 1u);
        EXPECT_EQ(sizesOf(client.records()), std::vector<size_t>{54});
    }
    Medium::close(owner);
}

TEST_F(TCPBatchTest, FrameOfTwentyFragmentsLeavesInThreeBatches) {
    Client client(*env);
    VideoStream s = startVideo({nalOfFragments(20, 100)}, -1, {{client.pair.a, 0}});
    // 8 + 8 packets, each batch in one write of both buffers, then the last 5.
    EXPECT_EQ(sizesOf(client.records()), (std::vector<size_t>{11680, 11680, 4 * 1460 + 4 + 12 + 2 + 100}));
    stop(s);
}

TEST_F(TCPBatchTest, FullSizeLastFragmentLeavesWithItsBurst) {
    Client client(*env);
    VideoStream s = startVideo({nalOfFragments(3, 0), nalOfFragments(1, 10)}, 20000,
                               {{client.pair.a, 0}});
    runUntilDelivered(s.source, 1);
    // Before the next unit arrives, the three 1456-byte packets are out.
    EXPECT_EQ(sizesOf(client.records()), std::vector<size_t>{3 * 1460});
    runUntilDelivered(s.source, 2);
    EXPECT_EQ(sizesOf(client.records()), std::vector<size_t>{1460 + 4 + 12 + 2 + 10});
    stop(s);
}

TEST_F(TCPBatchTest, AudioOnChannelZeroAndVideoOnChannelTwoLeavePacketByPacket) {
    Client client(*env);
    // Audio: 160-byte frames, seven to a packet of 1132 bytes.
    Groupsock* audioGS = Groupsock::createNew(*env, 0);
    SimpleRTPSink* audio = SimpleRTPSink::createNew(*env, audioGS, 0, 8000, "audio", "PCMU");
    ASSERT_TRUE(audio->addStreamSocket(client.pair.a, 0));
    std::vector<TestFrame> frames(14, TestFrame{std::vector<uint8_t>(160, 0xFF), {1, 0}});
    TestFrameSource* audioSource = TestFrameSource::createNew(*env, frames, -1, false);
    ASSERT_TRUE(audio->startPlaying(*audioSource, nullptr, nullptr));
    EXPECT_EQ(sizesOf(client.records()), (std::vector<size_t>{4 + 12 + 1120, 4 + 12 + 1120}));

    VideoStream video = startVideo({nalOfFragments(3, 10)}, -1, {{client.pair.a, 2}});
    auto records = client.records();
    EXPECT_EQ(sizesOf(records), (std::vector<size_t>{1460, 1460, 1460, 4 + 12 + 2 + 10}));
    for (const auto& frame : framesOf(records)) EXPECT_EQ(frame.channel, 2);
    stop(video);
    Medium::close(audio);
    Medium::close(audioSource);
    Medium::close(audioGS);
}

TEST_F(TCPBatchTest, RtcpOnHighChannelLeavesWithItsBurst) {
    Client client(*env);
    Groupsock* rtpGS = Groupsock::createNew(*env, 0);
    Groupsock* rtcpGS = Groupsock::createNew(*env, 0);
    SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, rtpGS, 0, 8000, "audio", "PCMU");
    RTCPInstance* rtcp = RTCPInstance::createNew(*env, rtcpGS, 500, "host", sink);
    ASSERT_NE(rtcp, nullptr);
    ASSERT_TRUE(rtcp->addStreamSocket(client.pair.a, 5));
    rtcp->sendReport();
    auto frames = framesOf(client.records());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, 5);
    EXPECT_EQ(frames[0].data[1], RTCP_PT_SR);
    Medium::close(rtcp);
    frames = framesOf(client.records());
    ASSERT_EQ(frames.size(), 1u);  // the BYE
    Medium::close(sink);
    Medium::close(rtpGS);
    Medium::close(rtcpGS);
}

TEST_F(TCPBatchTest, EachClientGetsItsOwnChannelId) {
    Client first(*env), second(*env);
    // The second client, added last, comes first: its channel 2 flushes every packet.
    VideoStream s = startVideo({nalOfFragments(2, 10)}, -1, {{first.pair.a, 0}, {second.pair.a, 2}});
    auto a = framesOf(first.records());
    auto b = framesOf(second.records());
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].channel, 0);
        EXPECT_EQ(b[i].channel, 2);
        EXPECT_TRUE(a[i].data == b[i].data);
    }
    stop(s);
}

TEST_F(TCPBatchTest, DisconnectedClientIsRemovedOthersKeepReceiving) {
    Client gone(*env), staying(*env);
    VideoStream s = startVideo({nalOfFragments(2, 10), nalOfFragments(2, 10), nalOfFragments(2, 10)},
                               10000, {{gone.pair.a, 0}, {staying.pair.a, 0}});
    runUntilDelivered(s.source, 1);
    EXPECT_EQ(framesOf(gone.records()).size(), 3u);
    gone.pair.closeB();
    runUntilDelivered(s.source, 3);
    EXPECT_EQ(s.sink->rtpInterface().numTCPDestinations(), 1u);
    EXPECT_TRUE(gone.socket->failed());
    EXPECT_EQ(framesOf(staying.records()).size(), 9u);
    stop(s);
}

TEST_F(TCPBatchTest, StalledReaderIsRemovedWithoutDelayingTheOther) {
    // The stalled client reads nothing; its small backlog overflows.
    SocketPair stalledPair(SOCK_STREAM);
    setSendBuffer(stalledPair.a, 4096);
    TCPStreamSocket* stalled = TCPStreamSocket::createNew(*env, stalledPair.a, 64 * 1024);
    Client reader(*env);
    std::vector<std::vector<uint8_t>> nals;
    for (int i = 0; i < 30; ++i) nals.push_back(nalOfFragments(14, 300));  // 15 packets each
    VideoStream s = startVideo(nals, 2000, {{stalledPair.a, 0}, {reader.pair.a, 0}});
    unsigned received = 0;
    for (unsigned delivered = 1; delivered <= nals.size(); ++delivered) {
        runUntilDelivered(s.source, delivered);
        // Right after each unit was taken, all its packets are with the reader.
        received += static_cast<unsigned>(framesOf(reader.records()).size());
        ASSERT_EQ(received, delivered * 15);
    }
    EXPECT_TRUE(stalled->failed());
    EXPECT_EQ(s.sink->rtpInterface().numTCPDestinations(), 1u);
    EXPECT_FALSE(s.sink->rtpInterface().hasTCPDestination(stalledPair.a, 0));
    stop(s);
    delete stalled;
}

TEST_F(TCPBatchTest, FailedUdpSendIsLoggedAndReported) {
    Groupsock* gs = Groupsock::createNew(*env, 0);
    gs->addDestination(htonl(INADDR_LOOPBACK), 0, 1);  // port 0: the kernel refuses
    SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, gs, 0, 8000, "audio", "PCMU", 1, false);
    int errors = 0;
    sink->setOnSendErrorFunc([](void* count) { ++*static_cast<int*>(count); }, &errors);
    std::vector<TestFrame> frames(3, TestFrame{std::vector<uint8_t>(160, 0xFF), {1, 0}});
    TestFrameSource* source = TestFrameSource::createNew(*env, frames, 1000, false);
    StdoutCapture out;
    ASSERT_TRUE(sink->startPlaying(*source, nullptr, nullptr));
    runUntilDelivered(source, 3);
    scheduler->SingleStep(1000);
    EXPECT_EQ(errors, 3);  // one per burst: each frame is its own burst here
    EXPECT_EQ(out.count("sendPacket failed！！！！\n"), 3u);
    EXPECT_EQ(sink->rtpInterface().numTCPDestinations(), 0u);
    Medium::close(sink);
    Medium::close(source);
    Medium::close(gs);
}

}  // namespace
