// NAL units through the H.264 and H.265 sinks, over UDP and interleaved TCP:
// packet count, FU start/end bits, marker bit and reassembly.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/H265VideoRTPSink.h"
#include "rtp/H265VideoStreamDiscreteFramer.h"
#include "rtp/TCPStreamSocket.h"

namespace {

struct NalCase {
    const char* name;
    unsigned size;
    bool vcl;
    unsigned h264Packets;
    unsigned h265Packets;
};

// Payload room is 1444 bytes; FU-A carries 1442 NAL bytes per packet, FU 1441.
const NalCase kCases[] = {
    {"1 byte", 1, true, 1, 1},
    {"exactly one packet", 1444, true, 1, 1},
    {"one byte over", 1445, true, 2, 2},
    {"100 packets", 1 + 1442 * 99 + 700, true, 100, 100},
    {"1 MiB", 1048576, true, 728, 728},
    {"non-VCL unit, no marker", 3000, false, 3, 3},
};

class PacketizationTest : public RtpTestEnv {
protected:
    RTPSink* makeSink(int hNumber, Groupsock* gs) {
        if (hNumber == 264) return H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
        return H265VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0, nullptr, 0);
    }
    FramedSource* makeFramer(int hNumber, FramedSource* input) {
        if (hNumber == 264) return H264VideoStreamDiscreteFramer::createNew(*env, input);
        return H265VideoStreamDiscreteFramer::createNew(*env, input);
    }

    // Streams one NAL unit (and a short one after it) and returns the packets.
    std::vector<RtpPacket> stream(int hNumber, const std::vector<uint8_t>& nal, bool overTCP) {
        Groupsock* gs = Groupsock::createNew(*env, 0);
        EXPECT_NE(gs, nullptr);
        uint16_t port = 0;
        int receiver = overTCP ? -1 : openUdpReceiver(port);
        SocketPair pair(SOCK_STREAM);
        TCPStreamSocket* tcp = nullptr;
        RTPSink* sink = makeSink(hNumber, gs);
        EXPECT_NE(sink, nullptr);
        if (overTCP) {
            tcp = TCPStreamSocket::createNew(*env, pair.a);
            EXPECT_TRUE(sink->addStreamSocket(pair.a, 0));
        } else {
            gs->addDestination(htonl(INADDR_LOOPBACK), port, 1);
        }
        std::vector<TestFrame> frames{{nal, {1000, 0}}};
        FramedSource* framer = makeFramer(hNumber, TestFrameSource::createNew(*env, frames));
        bool ended = false;
        EXPECT_TRUE(sink->startPlaying(*framer, [](void* done) { *static_cast<bool*>(done) = true; },
                                       &ended));
        EXPECT_TRUE(ended);  // a synchronous source is drained within startPlaying

        std::vector<RtpPacket> packets;
        if (overTCP) {
            std::vector<uint8_t> bytes = readWhileStepping(pair.b, expectedTcpBytes(nal.size()));
            std::vector<InterleavedFrame> interleaved;
            EXPECT_TRUE(splitInterleaved(bytes, interleaved));
            for (const InterleavedFrame& f : interleaved) {
                EXPECT_EQ(f.channel, 0);
                RtpPacket p;
                EXPECT_TRUE(parseRtpPacket(f.data.data(), f.data.size(), p));
                packets.push_back(p);
            }
        } else {
            packets = receiveRtpPackets(receiver);
            ::close(receiver);
        }
        Medium::close(sink);
        Medium::close(framer);
        delete tcp;
        Medium::close(gs);
        return packets;
    }

    size_t fExpectedPackets = 0;
    size_t expectedTcpBytes(size_t nalSize) const {
        // Every packet adds 4 bytes of framing, 12 of RTP header and its FU prefix.
        return nalSize + fExpectedPackets * (4 + 12 + fPrefixPerPacket) - fHeaderBytesSaved;
    }
    unsigned fPrefixPerPacket = 0;
    unsigned fHeaderBytesSaved = 0;
};

TEST_F(PacketizationTest, SingleAndFragmentedUnitsReassembleExactly) {
    for (int hNumber : {264, 265}) {
        for (bool overTCP : {false, true}) {
            for (const NalCase& c : kCases) {
                SCOPED_TRACE(testing::Message() << "H." << hNumber << (overTCP ? " TCP " : " UDP ")
                                                << c.name);
                unsigned expected = hNumber == 264 ? c.h264Packets : c.h265Packets;
                fExpectedPackets = expected;
                fPrefixPerPacket = expected == 1 ? 0 : (hNumber == 264 ? 2 : 3);
                fHeaderBytesSaved = expected == 1 ? 0 : (hNumber == 264 ? 1 : 2);
                std::vector<uint8_t> nal = makeNalUnit(hNumber, c.size, c.vcl);
                std::vector<RtpPacket> packets = stream(hNumber, nal, overTCP);
                ASSERT_EQ(packets.size(), expected);
                for (size_t i = 0; i < packets.size(); ++i) {
                    EXPECT_LE(packets[i].size, 1456u);
                    EXPECT_EQ(packets[i].payloadType, 96);
                    EXPECT_EQ(packets[i].timestamp, packets[0].timestamp);
                    EXPECT_EQ(packets[i].marker, c.vcl && i + 1 == packets.size()) << "packet " << i;
                }
                if (expected > 1) {
                    EXPECT_EQ(packets[0].size, 1456u);  // fragments fill their packets
                }
                NalAssembly assembly = reassembleNalUnits(hNumber, packets);
                ASSERT_EQ(assembly.error, "");
                ASSERT_EQ(assembly.nalUnits.size(), 1u);
                EXPECT_TRUE(assembly.nalUnits[0] == nal);
            }
        }
    }
}

}  // namespace
