#include "rtp/Groupsock.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "rtp/SocketBuffers.h"

Groupsock* Groupsock::createNew(UsageEnvironment& env, uint16_t port) {
    int socketNum = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketNum < 0) {
        env.setResultErrMsg("unable to create datagram socket: ");
        return nullptr;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(socketNum, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        char text[64];
        snprintf(text, sizeof text, "bind() error (port number: %u): ", port);
        env.setResultErrMsg(text);
        ::close(socketNum);
        return nullptr;
    }
    socklen_t length = sizeof local;
    if (getsockname(socketNum, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        env.setResultErrMsg("getsockname() error: ");
        ::close(socketNum);
        return nullptr;
    }
    requestLargeSendBuffer(env, socketNum);
    Groupsock* groupsock = new (std::nothrow) Groupsock(env, socketNum, ntohs(local.sin_port));
    if (groupsock == nullptr) ::close(socketNum);
    return groupsock;
}

void Groupsock::requestLargeSendBuffer(UsageEnvironment& env, int socketNum) {
    // One request, whatever the system grants; the reads are for the record.
    getSendBufferSize(env, socketNum);
    int size = static_cast<int>(kRequestedSendBufferSize);
    setsockopt(socketNum, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    getSendBufferSize(env, socketNum);
    getSendBufferSize(env, socketNum);
}

Groupsock::Groupsock(UsageEnvironment& env, int socketNum, uint16_t port)
    : Medium(env), fSocketNum(socketNum), fPort(port) {}

Groupsock::~Groupsock() {
    envir().taskScheduler().disableBackgroundHandling(fSocketNum);
    ::close(fSocketNum);
}

void Groupsock::addDestination(uint32_t address, uint16_t port, unsigned sessionId) {
    for (const GroupsockDestination& d : fDestinations) {
        if (d.address.sin_addr.s_addr == address && d.address.sin_port == htons(port)) return;
    }
    GroupsockDestination destination{};
    destination.address.sin_family = AF_INET;
    destination.address.sin_addr.s_addr = address;
    destination.address.sin_port = htons(port);
    destination.sessionId = sessionId;
    try {
        fDestinations.push_back(destination);
    } catch (const std::bad_alloc&) {
        envir().setResultMsg("Groupsock::addDestination(): out of memory");
    }
}

void Groupsock::removeDestinations(unsigned sessionId) {
    fDestinations.erase(std::remove_if(fDestinations.begin(), fDestinations.end(),
                                       [sessionId](const GroupsockDestination& d) {
                                           return d.sessionId == sessionId;
                                       }),
                        fDestinations.end());
}

bool Groupsock::output(const uint8_t* data, unsigned size) {
    bool ok = true;
    for (const GroupsockDestination& d : fDestinations) {
        ssize_t sent = sendto(fSocketNum, data, size, 0,
                              reinterpret_cast<const sockaddr*>(&d.address), sizeof d.address);
        if (sent != static_cast<ssize_t>(size)) ok = false;
    }
    return ok;
}
