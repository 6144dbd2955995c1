// UDP: the packets of a NAL unit leave in one burst, before the loop serves
// anything else; send buffers and destinations of the groupsock.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/DatagramBurst.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/SocketBuffers.h"

namespace {

class UdpDeliveryTest : public RtpTestEnv {
protected:
    void TearDown() override {
        DatagramBurst::setGSOAllowed(true);
        RtpTestEnv::TearDown();
    }
};

struct ReceiverProbe {
    int socket = -1;
    bool fired = false;
    std::vector<RtpPacket> packets;
};

TEST_F(UdpDeliveryTest, HundredPacketUnitIsHandedOverBeforeAnyOtherEvent) {
    for (bool gso : {true, false}) {
        SCOPED_TRACE(gso ? "with GSO" : "sendmmsg only");
        DatagramBurst::setGSOAllowed(gso);
        Groupsock* gs = Groupsock::createNew(*env, 0);
        uint16_t port;
        int receiver = openUdpReceiver(port);
        gs->addDestination(htonl(INADDR_LOOPBACK), port, 7);
        H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
        std::vector<uint8_t> nal = makeNalUnit(264, 1 + 1442 * 99 + 500, true);
        TestFrameSource* source = TestFrameSource::createNew(*env, {{nal, {5, 0}}}, 3000, false);
        FramedSource* framer = H264VideoStreamDiscreteFramer::createNew(*env, source);
        ASSERT_TRUE(sink->startPlaying(*framer, nullptr, nullptr));

        // The first datagram makes the receiver readable: that event is served
        // only after the sink has handed over the whole unit.
        ReceiverProbe probe;
        probe.socket = receiver;
        scheduler->setBackgroundHandling(
            receiver, SOCKET_READABLE,
            [](void* data, int) {
                auto* p = static_cast<ReceiverProbe*>(data);
                if (p->fired) return;
                p->fired = true;
                p->packets = receiveRtpPackets(p->socket);
            },
            &probe);
        int64_t deadline = BasicTaskScheduler::nowMicroseconds() + 3000000;
        while (!probe.fired && BasicTaskScheduler::nowMicroseconds() < deadline) scheduler->SingleStep(1000);
        scheduler->disableBackgroundHandling(receiver);
        ASSERT_TRUE(probe.fired);
        ASSERT_EQ(probe.packets.size(), 100u);
        NalAssembly assembly = reassembleNalUnits(264, probe.packets);
        EXPECT_EQ(assembly.error, "");
        ASSERT_EQ(assembly.nalUnits.size(), 1u);
        EXPECT_TRUE(assembly.nalUnits[0] == nal);

        Medium::close(sink);
        Medium::close(framer);
        Medium::close(gs);
        ::close(receiver);
    }
}

TEST_F(UdpDeliveryTest, EveryDestinationGetsTheBurst) {
    Groupsock* gs = Groupsock::createNew(*env, 0);
    uint16_t port1, port2;
    int receiver1 = openUdpReceiver(port1), receiver2 = openUdpReceiver(port2);
    gs->addDestination(htonl(INADDR_LOOPBACK), port1, 1);
    gs->addDestination(htonl(INADDR_LOOPBACK), port2, 2);
    gs->addDestination(htonl(INADDR_LOOPBACK), port2, 3);  // same address and port: once
    EXPECT_EQ(gs->destinations().size(), 2u);
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
    std::vector<uint8_t> nal = makeNalUnit(264, 20000, true);
    TestFrameSource* source = TestFrameSource::createNew(*env, {{nal, {5, 0}}, {nal, {5, 40000}}});
    FramedSource* framer = H264VideoStreamDiscreteFramer::createNew(*env, source);
    ASSERT_TRUE(sink->startPlaying(*framer, nullptr, nullptr));
    std::vector<RtpPacket> a = receiveRtpPackets(receiver1), b = receiveRtpPackets(receiver2);
    ASSERT_EQ(a.size(), 28u);
    ASSERT_EQ(b.size(), 28u);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(a[i].payload == b[i].payload);
    EXPECT_EQ(a[14].timestamp - a[0].timestamp, 3600u);  // 40 ms at 90 kHz

    gs->removeDestinations(1);
    ASSERT_EQ(gs->destinations().size(), 1u);
    EXPECT_EQ(ntohs(gs->destinations()[0].address.sin_port), port2);
    Medium::close(sink);
    Medium::close(framer);
    Medium::close(gs);
    ::close(receiver1);
    ::close(receiver2);
}

TEST_F(UdpDeliveryTest, SendBuffersOnlyGrow) {
    int plain = socket(AF_INET, SOCK_DGRAM, 0);
    unsigned defaultSize = getSendBufferSize(*env, plain);
    ::close(plain);

    Groupsock* gs = Groupsock::createNew(*env, 0);
    ASSERT_NE(gs, nullptr);
    EXPECT_NE(gs->port(), 0);
    unsigned afterCreation = getSendBufferSize(*env, gs->socketNum());
    EXPECT_GT(afterCreation, defaultSize);  // the 20 MiB request, as far as the system grants it
    {
        RTPInterface rtp(gs, gs);  // asks for at least 512 KiB: never lowers
        EXPECT_GE(getSendBufferSize(*env, gs->socketNum()), afterCreation);
    }
    EXPECT_GE(increaseSendBufferTo(*env, gs->socketNum(), 51200), afterCreation);

    EXPECT_EQ(Groupsock::createNew(*env, gs->port()), nullptr);  // port taken
    EXPECT_NE(std::string(env->getResultMsg()).find("bind() error"), std::string::npos);
    EXPECT_EQ(increaseSendBufferTo(*env, -1, 524288), 0u);
    EXPECT_EQ(std::string(env->getResultMsg()).rfind("getBufferSize() error: ", 0), 0u);
    Medium::close(gs);
}

}  // namespace
