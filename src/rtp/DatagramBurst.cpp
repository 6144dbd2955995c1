#include "rtp/DatagramBurst.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

// Kernel limits of one GSO message: segment count and UDP payload size.
constexpr unsigned kMaxSegments = 64;
constexpr unsigned kMaxGSOBytes = 65000;

std::atomic<bool> gGSOAllowed{true};

}  // namespace

bool DatagramBurst::kernelHasGSO() {
    static bool hasGSO = false;
    static std::once_flag probed;
    std::call_once(probed, [] {
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return;
        int size = 1400;
        hasGSO = setsockopt(probe, SOL_UDP, UDP_SEGMENT, &size, sizeof size) == 0;
        ::close(probe);
    });
    return hasGSO;
}

void DatagramBurst::setGSOAllowed(bool allowed) { gGSOAllowed.store(allowed); }

DatagramBurst::DatagramBurst() : fGSOUsable(kernelHasGSO()) {}

void DatagramBurst::add(const uint8_t* header, unsigned headerSize, const uint8_t* payload,
                        unsigned payloadSize) {
    if (fCount == kMaxPackets) return;
    if (headerSize > kMaxHeaderSize) headerSize = kMaxHeaderSize;
    memcpy(fHeaders[fCount], header, headerSize);
    fIov[2 * fCount] = {fHeaders[fCount], headerSize};
    fIov[2 * fCount + 1] = {const_cast<uint8_t*>(payload), payloadSize};
    ++fCount;
}

unsigned DatagramBurst::buildMessages(const sockaddr_in& destination, bool useGSO,
                                      unsigned firstPacket) {
    unsigned messageCount = 0;
    unsigned index = firstPacket;
    while (index < fCount) {
        unsigned first = index;
        unsigned segmentSize = packetSize(first);
        unsigned total = segmentSize;
        ++index;
        if (useGSO && segmentSize > 0) {
            // Equal sizes, then at most one shorter packet to end the run.
            while (index < fCount && index - first < kMaxSegments &&
                   total + packetSize(index) <= kMaxGSOBytes) {
                unsigned next = packetSize(index);
                if (next > segmentSize || next == 0) break;
                total += next;
                ++index;
                if (next < segmentSize) break;
            }
        }
        msghdr& message = fMessages[messageCount].msg_hdr;
        memset(&message, 0, sizeof message);
        message.msg_name = const_cast<sockaddr_in*>(&destination);
        message.msg_namelen = sizeof destination;
        message.msg_iov = &fIov[2 * first];
        message.msg_iovlen = 2 * (index - first);
        if (index - first > 1) {
            message.msg_control = fControl[messageCount];
            message.msg_controllen = sizeof fControl[messageCount];
            cmsghdr* control = CMSG_FIRSTHDR(&message);
            control->cmsg_level = SOL_UDP;
            control->cmsg_type = UDP_SEGMENT;
            control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t gsoSize = static_cast<uint16_t>(segmentSize);
            memcpy(CMSG_DATA(control), &gsoSize, sizeof gsoSize);
        }
        ++messageCount;
    }
    return messageCount;
}

bool DatagramBurst::sendMessages(int socketNum, unsigned messageCount, unsigned& unsentPacket,
                                 bool& gsoRefused) {
    unsigned sent = 0;
    gsoRefused = false;
    while (sent < messageCount) {
        int result = sendmmsg(socketNum, &fMessages[sent], messageCount - sent, MSG_DONTWAIT);
        if (result > 0) {
            sent += static_cast<unsigned>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        // EINVAL/EIO/EOPNOTSUPP on a GSO message: the path cannot take it.
        gsoRefused = result < 0 && fMessages[sent].msg_hdr.msg_controllen != 0 &&
                     (errno == EINVAL || errno == EIO || errno == EOPNOTSUPP || errno == ENOPROTOOPT);
        unsentPacket = static_cast<unsigned>(fMessages[sent].msg_hdr.msg_iov - fIov) / 2;
        return false;
    }
    return true;
}

unsigned DatagramBurst::sendTo(int socketNum, const std::vector<GroupsockDestination>& destinations) {
    unsigned failures = 0;
    if (fCount > 0) {
        for (const GroupsockDestination& destination : destinations) {
            bool useGSO = fGSOUsable && gGSOAllowed.load(std::memory_order_relaxed);
            bool gsoRefused = false;
            unsigned unsent = 0;
            unsigned messageCount = buildMessages(destination.address, useGSO, 0);
            bool ok = sendMessages(socketNum, messageCount, unsent, gsoRefused);
            if (!ok && gsoRefused) {
                // Send the rest again without GSO, and keep GSO off for this sender.
                fGSOUsable = false;
                messageCount = buildMessages(destination.address, false, unsent);
                ok = sendMessages(socketNum, messageCount, unsent, gsoRefused);
            }
            if (!ok) ++failures;
        }
    }
    fCount = 0;
    return failures;
}
