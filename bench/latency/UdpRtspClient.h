// The benchmark's own minimal RTSP client: DESCRIBE, SETUP of the first
// track over UDP to a local port pair, PLAY; then the RTP socket is read by
// the benchmark. Blocking, with bounded waits.
#pragma once

#include <cstdint>
#include <string>

class UdpRtspClient {
public:
    UdpRtspClient() = default;
    ~UdpRtspClient();  // closes everything
    UdpRtspClient(const UdpRtspClient&) = delete;
    UdpRtspClient& operator=(const UdpRtspClient&) = delete;

    // Binds the RTP/RTCP pair (RTP socket non-blocking, kernel receive time
    // stamps on) and plays rtsp://127.0.0.1:port/name. False with the reason
    // in error().
    bool start(uint16_t port, const std::string& name);
    // TEARDOWN and the end of the RTSP connection; the RTP socket stays.
    void teardown();

    int rtpSocket() const { return fRtp; }
    uint16_t rtpPort() const { return fRtpPort; }
    const std::string& error() const { return fError; }

private:
    bool bindPair();
    std::string exchange(const std::string& method, const std::string& url, const std::string& headers);

    int fControl = -1;
    int fRtp = -1;
    int fRtcp = -1;
    uint16_t fRtpPort = 0;
    int fCSeq = 1;
    std::string fSession;
    std::string fUrl;
    std::string fError;
};
