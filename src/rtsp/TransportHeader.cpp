#include "rtsp/TransportHeader.h"

#include "rtsp/TextUtil.h"

namespace {

bool parseStreamingMode(std::string_view protocol, StreamingMode& mode) {
    if (equalsIgnoreCase(protocol, "RTP/AVP") || equalsIgnoreCase(protocol, "RTP/AVP/UDP")) {
        mode = StreamingMode::RTP_UDP;
    } else if (equalsIgnoreCase(protocol, "RTP/AVP/TCP")) {
        mode = StreamingMode::RTP_TCP;
    } else if (equalsIgnoreCase(protocol, "RAW/RAW/UDP") || equalsIgnoreCase(protocol, "MP2T/H2221/UDP")) {
        mode = StreamingMode::RAW_UDP;
    } else {
        return false;
    }
    return true;
}

// "a" or "a-b" with both in 0..maxValue; "a" alone gives b = a + 1.
bool parseRange(std::string_view text, unsigned long maxValue, unsigned long& first,
                unsigned long& second) {
    size_t dash = text.find('-');
    if (!parseBoundedDecimal(text.substr(0, dash), maxValue, first)) return false;
    if (dash == std::string_view::npos) {
        second = first + 1;
        return second <= maxValue;
    }
    return parseBoundedDecimal(text.substr(dash + 1), maxValue, second);
}

bool takeParameter(std::string_view parameter, TransportSpec& transportSpec) {
    size_t equals = parameter.find('=');
    std::string_view name = trimBlanks(parameter.substr(0, equals));
    std::string_view value =
        equals == std::string_view::npos ? std::string_view() : trimBlanks(parameter.substr(equals + 1));
    unsigned long first = 0, second = 0;
    if (equalsIgnoreCase(name, "client_port")) {
        if (!parseRange(value, 65535, first, second)) return false;
        transportSpec.hasClientPorts = true;
        transportSpec.clientRTPPort = static_cast<uint16_t>(first);
        transportSpec.clientRTCPPort = static_cast<uint16_t>(second);
    } else if (equalsIgnoreCase(name, "interleaved")) {
        if (!parseRange(value, 255, first, second)) return false;
        transportSpec.hasInterleaved = true;
        transportSpec.rtpChannelId = static_cast<uint8_t>(first);
        transportSpec.rtcpChannelId = static_cast<uint8_t>(second);
    } else if (equalsIgnoreCase(name, "ttl")) {
        if (!parseBoundedDecimal(value, 255, first)) return false;
        transportSpec.hasTTL = true;
        transportSpec.destinationTTL = static_cast<uint8_t>(first);
    } else if (equalsIgnoreCase(name, "destination")) {
        if (value.empty() || value.size() > kMaxTransportDestinationLength) return false;
        transportSpec.destinationAddress.assign(value);
    } else if (equalsIgnoreCase(name, "multicast")) {
        transportSpec.isMulticast = true;
    } else if (equalsIgnoreCase(name, "unicast")) {
        transportSpec.isMulticast = false;
    }
    return true;
}

bool parseOneTransport(std::string_view text, TransportSpec& transportSpec) {
    transportSpec = TransportSpec();
    size_t semicolon = text.find(';');
    std::string_view protocol = trimBlanks(text.substr(0, semicolon));
    if (!parseStreamingMode(protocol, transportSpec.streamingMode)) return false;
    transportSpec.streamingModeString.assign(protocol);
    while (semicolon != std::string_view::npos) {
        text.remove_prefix(semicolon + 1);
        semicolon = text.find(';');
        std::string_view parameter = trimBlanks(text.substr(0, semicolon));
        if (!parameter.empty() && !takeParameter(parameter, transportSpec)) return false;
    }
    return true;
}

}  // namespace

bool parseTransportHeader(std::string_view value, TransportSpec& out) {
    while (true) {
        size_t comma = value.find(',');
        TransportSpec transportSpec;
        if (parseOneTransport(value.substr(0, comma), transportSpec)) {
            out = std::move(transportSpec);
            return true;
        }
        if (comma == std::string_view::npos) return false;
        value.remove_prefix(comma + 1);
    }
}
