// A minimal RTSP client over one TCP connection, for tests: sends requests,
// reads responses and interleaved '$' frames.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RtspResponse {
    int status = 0;  // 0 when no response arrived
    std::string text;  // status line, headers and body
    std::string header(const std::string& name) const;  // case-insensitive; "" when absent
    std::string body() const;
};

struct InterleavedFrame {
    uint8_t channel;
    std::vector<uint8_t> data;
};

class RtspTestClient {
public:
    explicit RtspTestClient(uint16_t port, const std::string& host = "127.0.0.1");
    ~RtspTestClient();
    bool connected() const { return fSocket >= 0; }
    int socket() const { return fSocket; }

    // Sends "METHOD url RTSP/1.0" with CSeq, the session when known, and extra headers
    // ("Name: value\r\n" lines), then reads the response (skipping '$' frames, which are kept).
    RtspResponse request(const std::string& method, const std::string& url,
                         const std::string& extraHeaders = "", int timeoutMs = 3000);
    // Reads the next response (for a request sent with sendRaw).
    RtspResponse readResponse(int timeoutMs = 3000);
    RtspResponse describe(const std::string& url, const std::string& extra = "");
    RtspResponse setupTcp(const std::string& trackUrl, int rtpChannel = 0);
    RtspResponse setupUdp(const std::string& trackUrl, uint16_t clientRtpPort);
    RtspResponse play(const std::string& url);
    RtspResponse teardown(const std::string& url);

    // Reads interleaved frames until `count` have arrived or timeoutMs passed.
    std::vector<InterleavedFrame> readFrames(size_t count, int timeoutMs = 3000);
    // Raw bytes received so far and not yet consumed.
    std::string& pending() { return fPending; }
    bool sendRaw(const std::string& bytes);
    // Reads whatever arrives within timeoutMs into pending(); false when the peer closed.
    bool receive(int timeoutMs);

    std::string sessionId() const { return fSession; }
    void setSession(const std::string& id) { fSession = id; }

private:
    bool takeFrame(InterleavedFrame& frame);
    bool takeResponse(RtspResponse& response);

    int fSocket = -1;
    int fCSeq = 1;
    std::string fSession;
    std::string fPending;
    std::vector<InterleavedFrame> fFrames;
};
