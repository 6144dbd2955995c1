// Validation of an incoming compound RTCP packet (RFC 3550 section 6.1 and
// appendix A.2): every length is checked against the bytes received.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    RTCP_PT_SR = 200,
    RTCP_PT_RR = 201,
    RTCP_PT_SDES = 202,
    RTCP_PT_BYE = 203,
    RTCP_PT_APP = 204,
};

struct RTCPCompoundInfo {
    static constexpr unsigned kMaxByeSSRCs = 31;

    bool hasReport = false;        // an SR or RR
    uint32_t reporterSSRC = 0;     // SSRC of the first SR/RR
    unsigned numReportBlocks = 0;  // report blocks over all SR/RR packets
    bool hasBye = false;
    unsigned numByeSSRCs = 0;      // those stored below (at most kMaxByeSSRCs)
    uint32_t byeSSRCs[kMaxByeSSRCs] = {};
    unsigned numPackets = 0;
};

// True when `data` is a valid compound packet (version 2, first packet SR or
// RR, lengths adding up, padding only in the last packet); `info` says what it holds.
bool parseRTCPCompound(const uint8_t* data, size_t size, RTCPCompoundInfo& info);
