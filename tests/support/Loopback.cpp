#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

uint16_t freeTcpPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

int connectLoopback(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string rtspExchange(int socket, const std::string& request, int timeoutMs) {
    if (!request.empty() && send(socket, request.data(), request.size(), MSG_NOSIGNAL) < 0) return "";
    std::string reply;
    for (;;) {
        size_t end = reply.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t want = end + 4;
            size_t cl = reply.find("Content-Length: ");
            if (cl != std::string::npos && cl < end) want += strtoul(reply.c_str() + cl + 16, nullptr, 10);
            if (reply.size() >= want) return reply;
        }
        pollfd p{socket, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return reply;
        char buffer[4096];
        ssize_t n = recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) return reply;
        reply.append(buffer, static_cast<size_t>(n));
    }
}

namespace {

int boundUdpSocket(uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int size = 8 * 1024 * 1024;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

UdpPair::UdpPair() {
    // Ports well below the ephemeral range the kernel hands out and above
    // the server's own ports from 6970.
    for (int attempt = 0; attempt < 200 && !ok(); ++attempt) {
        static std::minstd_rand random(static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr)));
        uint16_t port = static_cast<uint16_t>(20000 + 2 * (random() % 10000));
        rtp = boundUdpSocket(port);
        rtcp = rtp >= 0 ? boundUdpSocket(static_cast<uint16_t>(port + 1)) : -1;
        if (ok()) {
            rtpPort = port;
            break;
        }
        if (rtp >= 0) close(rtp);
        rtp = -1;
    }
}

UdpPair::~UdpPair() {
    if (rtp >= 0) close(rtp);
    if (rtcp >= 0) close(rtcp);
}

std::vector<std::vector<uint8_t>> receiveDatagrams(int socket, int timeoutMs) {
    std::vector<std::vector<uint8_t>> datagrams;
    pollfd p{socket, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return datagrams;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) break;
        datagrams.emplace_back(buffer, buffer + n);
    }
    return datagrams;
}
