// RTCP: sender reports, SDES, BYE, the report interval, incoming reports over
// UDP and TCP reaching their handlers, and the validation of what arrives.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/RTCPInstance.h"
#include "rtp/SimpleRTPSink.h"

namespace {

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        out.push_back(static_cast<uint8_t>(v >> 24));
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

uint32_t wordAt(const std::vector<uint8_t>& p, size_t offset) {
    return (static_cast<uint32_t>(p[offset]) << 24) | (p[offset + 1] << 16) | (p[offset + 2] << 8) |
           p[offset + 3];
}

// An empty receiver report from `ssrc` (8 bytes), optionally followed by BYE.
std::vector<uint8_t> receiverReport(uint32_t ssrc, bool bye = false) {
    std::vector<uint8_t> packet = words({0x80C90001, ssrc});
    if (bye) {
        std::vector<uint8_t> byePacket = words({0x81CB0001, ssrc});
        packet.insert(packet.end(), byePacket.begin(), byePacket.end());
    }
    return packet;
}

std::vector<uint8_t> receiveDatagram(int fd) {
    uint8_t buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::vector<uint8_t>(buffer, buffer + n) : std::vector<uint8_t>();
}

TEST(RTCPParserTest, ValidatesEveryLength) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool valid;
        bool hasReport;
        bool hasBye;
    };
    std::vector<uint8_t> rrWithBlock = words({0x81C90007, 0x11, 0, 0, 0, 0, 0, 0});
    std::vector<uint8_t> rrSdes = words({0x80C90001, 0x22, 0x81CA0002, 0x22, 0x01026869});
    std::vector<uint8_t> padded = words({0x80C90001, 0x33, 0xA1CB0002, 0x33, 0x00000004});
    std::vector<uint8_t> paddedFirst = words({0xA0C90001, 0x44});
    std::vector<uint8_t> badPadCount = words({0x80C90001, 0x33, 0xA1CB0002, 0x33, 0x00000009});
    std::vector<uint8_t> byeCountTooHigh = words({0x80C90001, 0x55, 0x85CB0001, 0x55});
    Case cases[] = {
        {"empty RR", receiverReport(7), true, true, false},
        {"RR with one report block", rrWithBlock, true, true, false},
        {"RR + SDES", rrSdes, true, true, false},
        {"RR + BYE", receiverReport(9, true), true, true, true},
        {"padding in the last packet", padded, true, true, true},
        {"too short", {0x80, 0xC9}, false, false, false},
        {"not a multiple of 4", {0x80, 0xC9, 0x00, 0x01, 0, 0, 0, 0, 0}, false, false, false},
        {"version 1", words({0x40C90001, 1}), false, false, false},
        {"length beyond the data", words({0x80C90005, 1}), false, false, false},
        {"report count beyond the length", words({0x81C90001, 1}), false, false, false},
        {"SR shorter than its sender info", words({0x80C80001, 1}), false, false, false},
        {"first packet not SR/RR", words({0x81CB0001, 1}), false, false, false},
        {"padding in the first packet", paddedFirst, false, false, false},
        {"padding count beyond the packet", badPadCount, false, false, false},
        {"BYE count beyond the length", byeCountTooHigh, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RTCPCompoundInfo info;
        EXPECT_EQ(parseRTCPCompound(c.packet.data(), c.packet.size(), info), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(info.hasReport, c.hasReport);
        EXPECT_EQ(info.hasBye, c.hasBye);
        EXPECT_EQ(info.reporterSSRC, wordAt(c.packet, 4));
    }
}

class RTCPTest : public RtpTestEnv {
protected:
    void SetUp() override {
        RtpTestEnv::SetUp();
        rtpGS = Groupsock::createNew(*env, 0);
        rtcpGS = Groupsock::createNew(*env, 0);
        receiver = openUdpReceiver(receiverPort);
        rtcpGS->addDestination(htonl(INADDR_LOOPBACK), receiverPort, 1);
        sink = SimpleRTPSink::createNew(*env, rtpGS, 0, 8000, "audio", "PCMU");
    }
    void TearDown() override {
        Medium::close(sink);
        Medium::close(rtpGS);
        Medium::close(rtcpGS);
        ::close(receiver);
        RtpTestEnv::TearDown();
    }
    // Sends `packet` from a fresh socket to the RTCP port; returns the sender's port.
    uint16_t sendToRTCP(const std::vector<uint8_t>& packet, int fromSocket) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(rtcpGS->port());
        sendto(fromSocket, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        for (int i = 0; i < 5; ++i) scheduler->SingleStep(2000);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fromSocket, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    Groupsock* rtpGS = nullptr;
    Groupsock* rtcpGS = nullptr;
    SimpleRTPSink* sink = nullptr;
    int receiver = -1;
    uint16_t receiverPort = 0;
};

TEST_F(RTCPTest, SenderReportsAndByeDescribeTheSink) {
    std::vector<TestFrame> frames(14, TestFrame{std::vector<uint8_t>(160, 0x55), {100, 0}});
    TestFrameSource* source = TestFrameSource::createNew(*env, frames, -1, false);
    ASSERT_TRUE(sink->startPlaying(*source, nullptr, nullptr));  // 2 packets of 1120 bytes

    RTCPInstance* rtcp = RTCPInstance::createNew(*env, rtcpGS, 500, "camera.example", sink);
    ASSERT_NE(rtcp, nullptr);
    std::vector<uint8_t> report = receiveDatagram(receiver);  // sent by createNew
    RTCPCompoundInfo info;
    ASSERT_TRUE(parseRTCPCompound(report.data(), report.size(), info));
    EXPECT_EQ(report[1], RTCP_PT_SR);
    EXPECT_EQ(info.reporterSSRC, sink->SSRC());
    EXPECT_EQ(wordAt(report, 20), 2u);     // packets
    EXPECT_EQ(wordAt(report, 24), 2240u);  // payload octets
    timeval now;
    gettimeofday(&now, nullptr);
    EXPECT_NEAR(static_cast<double>(wordAt(report, 8)), now.tv_sec + 2208988800.0, 2.0);
    EXPECT_LT(sink->convertToRTPTimestamp(now) - wordAt(report, 16), 8000u);  // within 1 s
    // SDES with the CNAME follows the SR.
    ASSERT_GE(report.size(), 28u + 8 + 14);
    EXPECT_EQ(report[29], RTCP_PT_SDES);
    EXPECT_EQ(wordAt(report, 32), sink->SSRC());
    EXPECT_EQ(report[36], 1);
    EXPECT_EQ(report[37], 14);
    EXPECT_EQ(std::string(report.begin() + 38, report.begin() + 52), "camera.example");

    Medium::close(rtcp);
    std::vector<uint8_t> bye = receiveDatagram(receiver);
    ASSERT_TRUE(parseRTCPCompound(bye.data(), bye.size(), info));
    EXPECT_TRUE(info.hasBye);
    ASSERT_EQ(info.numByeSSRCs, 1u);
    EXPECT_EQ(info.byeSSRCs[0], sink->SSRC());
    sink->stopPlaying();
    Medium::close(source);
}

TEST_F(RTCPTest, IntervalFollowsTheSessionBandwidth) {
    RTCPInstance* rtcp = RTCPInstance::createNew(*env, rtcpGS, 1048576, "h", sink);
    const double e = 2.71828 - 1.5;
    for (int i = 0; i < 200; ++i) {
        double initial = rtcp->reportInterval(true);
        EXPECT_GE(initial, 2.5 * 0.5 / e);
        EXPECT_LE(initial, 2.5 * 1.5 / e);
        double regular = rtcp->reportInterval(false);
        EXPECT_GE(regular, 5.0 * 0.5 / e);
        EXPECT_LE(regular, 5.0 * 1.5 / e);
    }
    Medium::close(rtcp);
    // At 1 kbit/s, 5% is 6.25 bytes/s: one ~70-byte report takes about 11 s.
    rtcp = RTCPInstance::createNew(*env, rtcpGS, 1, "h", sink);
    double sum = 0;
    for (int i = 0; i < 200; ++i) sum += rtcp->reportInterval(false);
    EXPECT_GT(sum / 200, 5.0 * 1.5 / e);
    Medium::close(rtcp);
}

TEST_F(RTCPTest, ReportsReachTheHandlersOfTheirSender) {
    RTCPInstance* rtcp = RTCPInstance::createNew(*env, rtcpGS, 500, "h", sink);
    struct Counts {
        int specific = 0, other = 0, general = 0, bye = 0;
    } counts;
    int client = socket(AF_INET, SOCK_DGRAM, 0);
    int stranger = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(client, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
    uint16_t clientPort = ntohs(local.sin_port);
    rtcp->setSpecificRRHandler(htonl(INADDR_LOOPBACK), clientPort,
                               [](void* c) { ++static_cast<Counts*>(c)->specific; }, &counts);
    rtcp->setSpecificRRHandler(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(clientPort + 1),
                               [](void* c) { ++static_cast<Counts*>(c)->other; }, &counts);
    rtcp->setRRHandler([](void* c) { ++static_cast<Counts*>(c)->general; }, &counts);
    rtcp->setByeHandler([](void* c) { ++static_cast<Counts*>(c)->bye; }, &counts);

    sendToRTCP(receiverReport(0x1001), client);
    EXPECT_EQ(counts.specific, 1);
    EXPECT_EQ(counts.general, 1);
    EXPECT_EQ(rtcp->numMembers(), 2u);
    sendToRTCP(receiverReport(0x1002), stranger);  // no handler of its own
    EXPECT_EQ(counts.specific, 1);
    EXPECT_EQ(counts.general, 2);
    EXPECT_EQ(rtcp->numMembers(), 3u);
    sendToRTCP(words({0x80C90005, 1}), client);  // invalid: ignored
    EXPECT_EQ(counts.general, 2);
    sendToRTCP(receiverReport(0x1002, true), stranger);
    EXPECT_EQ(counts.bye, 1);
    EXPECT_EQ(rtcp->numMembers(), 2u);
    rtcp->unsetSpecificRRHandler(htonl(INADDR_LOOPBACK), clientPort);
    sendToRTCP(receiverReport(0x1001), client);
    EXPECT_EQ(counts.specific, 1);
    EXPECT_EQ(counts.other, 0);

    // Interleaved: keyed by (socket, channel).
    SocketPair pair(SOCK_STREAM);
    TCPStreamSocket* tcp = TCPStreamSocket::createNew(*env, pair.a);
    ASSERT_TRUE(rtcp->addStreamSocket(pair.a, 3));
    rtcp->setSpecificRRHandlerForStream(pair.a, 3, [](void* c) { ++static_cast<Counts*>(c)->specific; },
                                        &counts);
    std::vector<uint8_t> rr = receiverReport(0x2001);
    tcp->deliverInterleavedFrame(3, rr.data(), rr.size());
    EXPECT_EQ(counts.specific, 2);
    tcp->deliverInterleavedFrame(2, rr.data(), rr.size());  // RTP channel: not ours
    EXPECT_EQ(counts.specific, 2);
    rtcp->unsetSpecificRRHandlerForStream(pair.a, 3);
    tcp->deliverInterleavedFrame(3, rr.data(), rr.size());
    EXPECT_EQ(counts.specific, 2);
    rtcp->removeStreamSocket(pair.a, 3);
    int generalBefore = counts.general;
    tcp->deliverInterleavedFrame(3, rr.data(), rr.size());
    EXPECT_EQ(counts.general, generalBefore);  // no longer read

    Medium::close(rtcp);
    delete tcp;
    ::close(client);
    ::close(stranger);
}

TEST_F(RTCPTest, HandlerMayCloseTheInstance) {
    struct Context {
        RTCPInstance* rtcp;
        int calls = 0;
    } context{RTCPInstance::createNew(*env, rtcpGS, 500, "h", sink)};
    context.rtcp->setRRHandler(
        [](void* c) {
            auto* ctx = static_cast<Context*>(c);
            ++ctx->calls;
            Medium::close(ctx->rtcp);
        },
        &context);
    context.rtcp->setByeHandler([](void*) { FAIL() << "runs after the instance was closed"; }, nullptr);
    int client = socket(AF_INET, SOCK_DGRAM, 0);
    sendToRTCP(receiverReport(0x3001, true), client);
    EXPECT_EQ(context.calls, 1);
    ::close(client);
}

}  // namespace
