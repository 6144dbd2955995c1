#include "RtspTestClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Loopback.h"

std::string RtspResponse::header(const std::string& name) const {
    size_t end = text.find("\r\n\r\n");
    size_t pos = text.find("\r\n");
    while (pos != std::string::npos && pos < end) {
        size_t next = text.find("\r\n", pos + 2);
        std::string line = text.substr(pos + 2, next - pos - 2);
        size_t colon = line.find(':');
        if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
        pos = next;
    }
    return "";
}

std::string RtspResponse::body() const {
    size_t end = text.find("\r\n\r\n");
    return end == std::string::npos ? "" : text.substr(end + 4);
}

RtspTestClient::RtspTestClient(uint16_t port, const std::string&) { fSocket = connectLoopback(port); }

RtspTestClient::~RtspTestClient() {
    if (fSocket >= 0) close(fSocket);
}

bool RtspTestClient::sendRaw(const std::string& bytes) {
    return fSocket >= 0 && send(fSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RtspTestClient::receive(int timeoutMs) {
    pollfd p{fSocket, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[65536];
    ssize_t n = recv(fSocket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    fPending.append(buffer, static_cast<size_t>(n));
    return true;
}

bool RtspTestClient::takeFrame(InterleavedFrame& frame) {
    if (fPending.size() < 4 || fPending[0] != '$') return false;
    size_t length = (static_cast<uint8_t>(fPending[2]) << 8) | static_cast<uint8_t>(fPending[3]);
    if (fPending.size() < 4 + length) return false;
    frame.channel = static_cast<uint8_t>(fPending[1]);
    frame.data.assign(fPending.begin() + 4, fPending.begin() + 4 + static_cast<long>(length));
    fPending.erase(0, 4 + length);
    return true;
}

bool RtspTestClient::takeResponse(RtspResponse& response) {
    size_t end = fPending.find("\r\n\r\n");
    if (fPending.compare(0, 5, "RTSP/") != 0 || end == std::string::npos) return false;
    size_t want = end + 4;
    size_t cl = fPending.find("Content-Length:");
    if (cl != std::string::npos && cl < end) want += strtoul(fPending.c_str() + cl + 15, nullptr, 10);
    if (fPending.size() < want) return false;
    response.text = fPending.substr(0, want);
    response.status = atoi(fPending.c_str() + 9);
    fPending.erase(0, want);
    return true;
}

RtspResponse RtspTestClient::request(const std::string& method, const std::string& url,
                                     const std::string& extraHeaders, int timeoutMs) {
    std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(fCSeq++) + "\r\n";
    if (!fSession.empty()) text += "Session: " + fSession + "\r\n";
    text += extraHeaders + "\r\n";
    if (!sendRaw(text)) return RtspResponse();
    return readResponse(timeoutMs);
}

RtspResponse RtspTestClient::readResponse(int timeoutMs) {
    RtspResponse response;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        InterleavedFrame frame;
        while (takeFrame(frame)) fFrames.push_back(std::move(frame));
        if (takeResponse(response)) break;
        if (std::chrono::steady_clock::now() > deadline || !receive(50)) break;
    }
    std::string session = response.header("Session");
    if (!session.empty()) fSession = session.substr(0, session.find(';'));
    return response;
}

RtspResponse RtspTestClient::describe(const std::string& url, const std::string& extra) {
    return request("DESCRIBE", url, "Accept: application/sdp\r\n" + extra);
}

RtspResponse RtspTestClient::setupTcp(const std::string& trackUrl, int rtpChannel) {
    return request("SETUP", trackUrl,
                   "Transport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(rtpChannel) + "-" +
                       std::to_string(rtpChannel + 1) + "\r\n");
}

RtspResponse RtspTestClient::setupUdp(const std::string& trackUrl, uint16_t clientRtpPort) {
    return request("SETUP", trackUrl,
                   "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientRtpPort) + "-" +
                       std::to_string(clientRtpPort + 1) + "\r\n");
}

RtspResponse RtspTestClient::play(const std::string& url) { return request("PLAY", url, "Range: npt=0.000-\r\n"); }

RtspResponse RtspTestClient::teardown(const std::string& url) { return request("TEARDOWN", url); }

std::vector<InterleavedFrame> RtspTestClient::readFrames(size_t count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        InterleavedFrame frame;
        while (fFrames.size() < count && takeFrame(frame)) fFrames.push_back(std::move(frame));
        if (fFrames.size() >= count || std::chrono::steady_clock::now() > deadline) break;
        if (!receive(50)) break;
    }
    std::vector<InterleavedFrame> result;
    result.swap(fFrames);
    return result;
}
