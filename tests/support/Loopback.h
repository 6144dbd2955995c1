// Small loopback helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A TCP port that was free a moment ago.
uint16_t freeTcpPort();
// Connects to 127.0.0.1:port; -1 on failure.
int connectLoopback(uint16_t port);
// Sends a request and reads until "\r\n\r\n" plus Content-Length, or timeout.
std::string rtspExchange(int socket, const std::string& request, int timeoutMs = 2000);

// Two UDP sockets on 127.0.0.1 with an even port and the next one, as a
// client's RTP/RTCP pair (large receive buffers, non-blocking). Closed by the
// destructor.
struct UdpPair {
    UdpPair();
    ~UdpPair();
    UdpPair(const UdpPair&) = delete;
    UdpPair& operator=(const UdpPair&) = delete;
    bool ok() const { return rtp >= 0 && rtcp >= 0; }
    int rtp = -1;
    int rtcp = -1;
    uint16_t rtpPort = 0;
};

// Waits up to timeoutMs for datagrams on the socket and returns all that are
// there (at least one unless the wait timed out).
std::vector<std::vector<uint8_t>> receiveDatagrams(int socket, int timeoutMs);
