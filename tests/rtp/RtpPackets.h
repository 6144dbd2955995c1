// Parsing what the sinks send, for the tests: RTP packets, '$' frames, and
// the reassembly of H.264/H.265 NAL units from single and FU packets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RtpPacket {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    std::vector<uint8_t> payload;
    size_t size = 0;  // whole packet
};

bool parseRtpPacket(const uint8_t* data, size_t size, RtpPacket& packet);

struct InterleavedFrame {
    uint8_t channel;
    std::vector<uint8_t> data;
};

// Splits a byte stream into '$' frames; false if it is not one.
bool splitInterleaved(const std::vector<uint8_t>& stream, std::vector<InterleavedFrame>& frames);

// Rebuilds NAL units from a packet sequence; an error text on any fault
// (bad FU order, missing start/end, sequence gap).
struct NalAssembly {
    std::vector<std::vector<uint8_t>> nalUnits;
    std::vector<bool> markerOnLast;
    std::string error;
};
NalAssembly reassembleNalUnits(int hNumber, const std::vector<RtpPacket>& packets);

// Drains a non-blocking UDP socket into packets.
std::vector<RtpPacket> receiveRtpPackets(int udpSocket);
// A UDP socket bound to an ephemeral loopback port (with a large receive buffer).
int openUdpReceiver(uint16_t& port);
