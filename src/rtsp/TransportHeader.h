// Parsing of the RTSP "Transport:" header value (RFC 2326 section 12.39).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class StreamingMode {
    RTP_UDP,  // "RTP/AVP" or "RTP/AVP/UDP"
    RTP_TCP,  // "RTP/AVP/TCP": interleaved in the RTSP connection
    RAW_UDP   // "RAW/RAW/UDP" or "MP2T/H2221/UDP"
};

struct TransportSpec {
    StreamingMode streamingMode = StreamingMode::RTP_UDP;
    std::string streamingModeString;  // the transport protocol as sent
    std::string destinationAddress;   // "destination=" value, empty if absent
    bool hasTTL = false;
    uint8_t destinationTTL = 255;
    bool isMulticast = false;         // "multicast" given (default unicast)
    bool hasClientPorts = false;
    uint16_t clientRTPPort = 0;       // host order; 0 is passed on as given
    uint16_t clientRTCPPort = 0;
    bool hasInterleaved = false;      // false: the server picks the channels
    uint8_t rtpChannelId = 0;
    uint8_t rtcpChannelId = 0;
};

// Longest "destination=" value accepted.
constexpr size_t kMaxTransportDestinationLength = 255;

// Takes the first acceptable transport of a comma-separated list: a known
// transport protocol with every recognised parameter in range (ports 0..65535,
// channel ids and ttl 0..255; "a" alone means "a-(a+1)"). Unknown parameters
// are ignored. False when no transport is acceptable.
bool parseTransportHeader(std::string_view value, TransportSpec& out);
