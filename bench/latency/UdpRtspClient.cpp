#include "UdpRtspClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace {

constexpr int kReplyTimeoutMs = 3000;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int udpSocketOn(uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in addr = loopback(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void closeIfOpen(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

UdpRtspClient::~UdpRtspClient() {
    teardown();
    closeIfOpen(fRtp);
    closeIfOpen(fRtcp);
}

bool UdpRtspClient::bindPair() {
    static std::minstd_rand random(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 500; ++attempt) {
        uint16_t port = static_cast<uint16_t>(30000 + 2 * (random() % 12000));
        fRtp = udpSocketOn(port);
        if (fRtp < 0) continue;
        fRtcp = udpSocketOn(static_cast<uint16_t>(port + 1));
        if (fRtcp < 0) {
            closeIfOpen(fRtp);
            continue;
        }
        fRtpPort = port;
        // A key frame is ~70 packets per channel; the receiver may lag a little.
        int size = 4 * 1024 * 1024;
        if (setsockopt(fRtp, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fRtp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        int on = 1;
        setsockopt(fRtp, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        return true;
    }
    fError = "no free UDP port pair";
    return false;
}

std::string UdpRtspClient::exchange(const std::string& method, const std::string& url,
                                    const std::string& headers) {
    std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(fCSeq++) + "\r\n";
    if (!fSession.empty()) request += "Session: " + fSession + "\r\n";
    request += headers + "\r\n";
    if (send(fControl, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return "";
    std::string reply;
    for (;;) {
        size_t end = reply.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t want = end + 4;
            size_t length = reply.find("Content-Length:");
            if (length != std::string::npos && length < end) want += strtoul(reply.c_str() + length + 15, nullptr, 10);
            if (reply.size() >= want) return reply.substr(0, want);
        }
        pollfd p{fControl, POLLIN, 0};
        if (poll(&p, 1, kReplyTimeoutMs) <= 0) return "";
        char buffer[4096];
        ssize_t n = recv(fControl, buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        reply.append(buffer, static_cast<size_t>(n));
    }
}

bool UdpRtspClient::start(uint16_t port, const std::string& name) {
    if (!bindPair()) return false;
    fControl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server = loopback(port);
    if (fControl < 0 || connect(fControl, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        fError = "cannot connect";
        return false;
    }
    fUrl = "rtsp://127.0.0.1:" + std::to_string(port) + "/" + name;
    std::string reply = exchange("DESCRIBE", fUrl, "Accept: application/sdp\r\n");
    if (reply.compare(0, 12, "RTSP/1.0 200") != 0) {
        fError = "DESCRIBE: " + reply;
        return false;
    }
    reply = exchange("SETUP", fUrl + "/track1",
                     "Transport: RTP/AVP;unicast;client_port=" + std::to_string(fRtpPort) + "-" +
                         std::to_string(fRtpPort + 1) + "\r\n");
    size_t session = reply.find("Session: ");
    if (reply.compare(0, 12, "RTSP/1.0 200") != 0 || session == std::string::npos) {
        fError = "SETUP: " + reply;
        return false;
    }
    fSession = reply.substr(session + 9, reply.find_first_of(";\r", session) - session - 9);
    reply = exchange("PLAY", fUrl, "Range: npt=0.000-\r\n");
    if (reply.compare(0, 12, "RTSP/1.0 200") != 0) {
        fError = "PLAY: " + reply;
        return false;
    }
    return true;
}

void UdpRtspClient::teardown() {
    if (fControl >= 0 && !fSession.empty()) exchange("TEARDOWN", fUrl, "");
    fSession.clear();
    closeIfOpen(fControl);
}
