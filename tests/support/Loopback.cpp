#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
