#include "rtsp/SocketUtil.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

int sendBufferSize(int socketNum) {
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(socketNum, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) return 0;
    return size;
}

uint32_t firstNonLoopbackAddress() {
    ifaddrs* list = nullptr;
    uint32_t result = htonl(INADDR_LOOPBACK);
    if (getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(address) >> 24) == 127) continue;
        result = address;
        break;
    }
    freeifaddrs(list);
    return result;
}

}  // namespace

int increaseSocketSendBuffer(int socketNum, int size) {
    int current = sendBufferSize(socketNum);
    // The kernel reports twice the size it was given (bookkeeping overhead).
    while (size > current) {
        if (setsockopt(socketNum, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) {
            int now = sendBufferSize(socketNum);
            if (now >= size) return now;
        }
        int smaller = (size + current) / 2;
        if (smaller >= size) break;
        size = smaller;
    }
    return sendBufferSize(socketNum);
}

uint32_t serverAddressForSocket(int socketNum) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (socketNum >= 0 &&
        getsockname(socketNum, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_family == AF_INET && local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        return local.sin_addr.s_addr;
    }
    return firstNonLoopbackAddress();
}
