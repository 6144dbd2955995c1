#include "rtsp/TransportHeader.h"

#include <gtest/gtest.h>

namespace {

struct TransportCase {
    const char* value;
    bool accepted;
    StreamingMode mode;
    bool hasClientPorts;
    int rtpPort;
    int rtcpPort;
    bool hasInterleaved;
    int rtpChannel;
    int rtcpChannel;
};

constexpr StreamingMode UDP = StreamingMode::RTP_UDP;
constexpr StreamingMode TCP = StreamingMode::RTP_TCP;
constexpr StreamingMode RAW = StreamingMode::RAW_UDP;

TEST(ParseTransportHeader, Table) {
    const TransportCase cases[] = {
        {"RTP/AVP;unicast;client_port=5000-5001", true, UDP, true, 5000, 5001, false, 0, 0},
        {"RTP/AVP/UDP;unicast;client_port=5000", true, UDP, true, 5000, 5001, false, 0, 0},
        {"RTP/AVP;client_port=7000-7003", true, UDP, true, 7000, 7003, false, 0, 0},
        {"RTP/AVP;unicast", true, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/TCP;unicast;interleaved=0-1", true, TCP, false, 0, 0, true, 0, 1},
        {"RTP/AVP/TCP;interleaved=4", true, TCP, false, 0, 0, true, 4, 5},
        {"RTP/AVP/TCP;unicast", true, TCP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/TCP;interleaved=254-255", true, TCP, false, 0, 0, true, 254, 255},
        {"RAW/RAW/UDP;unicast;client_port=6000-6001", true, RAW, true, 6000, 6001, false, 0, 0},
        {"MP2T/H2221/UDP;client_port=6000", true, RAW, true, 6000, 6001, false, 0, 0},
        {"rtp/avp;CLIENT_PORT=6000-6001", true, UDP, true, 6000, 6001, false, 0, 0},
        {" RTP/AVP ; unicast ; client_port = 7000-7001 ;mode=\"PLAY\"", true, UDP, true, 7000, 7001, false,
         0, 0},
        {"RTP/AVP;ssrc=1234ABCD;foo;client_port=8000-8001;bar=", true, UDP, true, 8000, 8001, false, 0, 0},
        // Port 0 is within range and passed on; the server decides.
        {"RTP/AVP;client_port=0-1", true, UDP, true, 0, 1, false, 0, 0},
        {"RTP/AVP;client_port=65534-65535", true, UDP, true, 65534, 65535, false, 0, 0},
        // First acceptable transport of a list.
        {"RTP/SAVP;client_port=1-2, RTP/AVP;client_port=3-4", true, UDP, true, 3, 4, false, 0, 0},
        {"RTP/AVP;client_port=99999,RTP/AVP/TCP;interleaved=0-1", true, TCP, false, 0, 0, true, 0, 1},
        {"RTP/AVP/TCP;interleaved=0-1,RTP/AVP;client_port=3-4", true, TCP, false, 0, 0, true, 0, 1},
        // Out of range or malformed.
        {"RTP/AVP;client_port=65535", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=70000-70001", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=5000-65536", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=-1", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=5000-", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=50x0", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;client_port=99999999999999999999999", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/TCP;interleaved=255", false, TCP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/TCP;interleaved=256-257", false, TCP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/TCP;interleaved", false, TCP, false, 0, 0, false, 0, 0},
        {"RTP/AVP;ttl=256", false, UDP, false, 0, 0, false, 0, 0},
        {"garbage", false, UDP, false, 0, 0, false, 0, 0},
        {"", false, UDP, false, 0, 0, false, 0, 0},
        {",,,", false, UDP, false, 0, 0, false, 0, 0},
        {";client_port=1-2", false, UDP, false, 0, 0, false, 0, 0},
        {"RTP/AVP/SCTP;client_port=1-2", false, UDP, false, 0, 0, false, 0, 0},
    };
    for (const TransportCase& c : cases) {
        TransportSpec transportSpec;
        bool accepted = parseTransportHeader(c.value, transportSpec);
        EXPECT_EQ(accepted, c.accepted) << c.value;
        if (!accepted || !c.accepted) continue;
        EXPECT_EQ(transportSpec.streamingMode, c.mode) << c.value;
        EXPECT_EQ(transportSpec.hasClientPorts, c.hasClientPorts) << c.value;
        EXPECT_EQ(transportSpec.clientRTPPort, c.rtpPort) << c.value;
        EXPECT_EQ(transportSpec.clientRTCPPort, c.rtcpPort) << c.value;
        EXPECT_EQ(transportSpec.hasInterleaved, c.hasInterleaved) << c.value;
        EXPECT_EQ(transportSpec.rtpChannelId, c.rtpChannel) << c.value;
        EXPECT_EQ(transportSpec.rtcpChannelId, c.rtcpChannel) << c.value;
    }
}

TEST(ParseTransportHeader, MulticastDestinationAndTTL) {
    TransportSpec transportSpec;
    ASSERT_TRUE(parseTransportHeader("RTP/AVP;multicast;destination=232.1.2.3;ttl=16;port=9000-9001", transportSpec));
    EXPECT_TRUE(transportSpec.isMulticast);
    EXPECT_EQ(transportSpec.destinationAddress, "232.1.2.3");
    EXPECT_TRUE(transportSpec.hasTTL);
    EXPECT_EQ(transportSpec.destinationTTL, 16);
    EXPECT_EQ(transportSpec.streamingModeString, "RTP/AVP");

    ASSERT_TRUE(parseTransportHeader("RTP/AVP;unicast;client_port=1-2", transportSpec));
    EXPECT_FALSE(transportSpec.isMulticast);  // nothing left over from the previous parse
    EXPECT_TRUE(transportSpec.destinationAddress.empty());
    EXPECT_FALSE(transportSpec.hasTTL);

    std::string longDestination = "RTP/AVP;destination=" + std::string(kMaxTransportDestinationLength + 1, '1');
    EXPECT_FALSE(parseTransportHeader(longDestination, transportSpec));
    EXPECT_FALSE(parseTransportHeader("RTP/AVP;destination=", transportSpec));
}

}  // namespace
