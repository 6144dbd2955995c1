#include "rtsp/SocketUtil.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

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
