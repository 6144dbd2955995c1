// The RTP packets of one burst, sent to each UDP destination with one
// sendmmsg call. Where the kernel has UDP GSO, a run of equal-size packets
// (the fragments of a NAL unit) becomes one message that the kernel splits.
// Headers are copied in; payloads are referenced and must stay valid until
// the burst has been sent.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "rtp/Groupsock.h"

class DatagramBurst {
public:
    static constexpr unsigned kMaxPackets = 256;
    static constexpr unsigned kMaxHeaderSize = 16;

    DatagramBurst();

    bool empty() const { return fCount == 0; }
    bool full() const { return fCount == kMaxPackets; }
    unsigned size() const { return fCount; }
    // headerSize at most kMaxHeaderSize; ignored when full.
    void add(const uint8_t* header, unsigned headerSize, const uint8_t* payload, unsigned payloadSize);
    // Sends every packet to every destination, then empties the burst.
    // Returns the number of destinations for which a send failed.
    unsigned sendTo(int socketNum, const std::vector<GroupsockDestination>& destinations);
    void clear() { fCount = 0; }

    // Whether this kernel takes UDP_SEGMENT (probed once per process).
    static bool kernelHasGSO();
    // Test and benchmark hook: use GSO only if the kernel has it and this is true.
    static void setGSOAllowed(bool allowed);

private:
    // Messages for the packets from firstPacket on; returns their count.
    unsigned buildMessages(const sockaddr_in& destination, bool useGSO, unsigned firstPacket);
    unsigned packetSize(unsigned index) const { return fIov[2 * index].iov_len + fIov[2 * index + 1].iov_len; }
    // False on a failed call, with the first packet not sent.
    bool sendMessages(int socketNum, unsigned messageCount, unsigned& unsentPacket, bool& gsoRefused);

    unsigned fCount = 0;
    bool fGSOUsable;
    uint8_t fHeaders[kMaxPackets][kMaxHeaderSize];
    iovec fIov[2 * kMaxPackets];
    mmsghdr fMessages[kMaxPackets];
    // One control block per message for its UDP_SEGMENT size.
    alignas(cmsghdr) uint8_t fControl[kMaxPackets][CMSG_SPACE(sizeof(uint16_t))];
};
