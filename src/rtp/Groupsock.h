// A UDP socket of the stack (RTP or RTCP port of a stream) with its unicast
// destinations, each belonging to one client session. Must outlive the sinks
// and RTCP instances built on it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "event/Medium.h"

struct GroupsockDestination {
    sockaddr_in address;
    unsigned sessionId;
};

class Groupsock : public Medium {
public:
    static constexpr unsigned kRequestedSendBufferSize = 20971520;

    // Binds a UDP socket to `port` (host order) on every local address, or to
    // an ephemeral port when port is 0. Null (with a result message) when the
    // port is taken or the socket cannot be made.
    static Groupsock* createNew(UsageEnvironment& env, uint16_t port = 0);

    int socketNum() const { return fSocketNum; }
    uint16_t port() const { return fPort; }  // host order

    // address in network order, port in host order. A destination already
    // present (same address and port) is not added twice.
    void addDestination(uint32_t address, uint16_t port, unsigned sessionId);
    void removeDestinations(unsigned sessionId);
    void removeAllDestinations() { fDestinations.clear(); }
    const std::vector<GroupsockDestination>& destinations() const { return fDestinations; }
    bool hasMultipleDestinations() const { return fDestinations.size() > 1; }

    // One datagram to every destination; false when any send failed.
    bool output(const uint8_t* data, unsigned size);

protected:
    Groupsock(UsageEnvironment& env, int socketNum, uint16_t port);
    ~Groupsock() override;

private:
    static void requestLargeSendBuffer(UsageEnvironment& env, int socketNum);

    int fSocketNum;
    uint16_t fPort;
    std::vector<GroupsockDestination> fDestinations;
};
