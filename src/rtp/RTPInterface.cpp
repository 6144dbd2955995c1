#include "rtp/RTPInterface.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "rtp/SocketBuffers.h"

namespace {

constexpr unsigned kFrameHeaderSize = 4;
constexpr unsigned kFlushPacketCount = 8;

// Sets the channel byte of every framed packet in the buffer.
void setChannelIds(TCPBatchBuffer& buffer, uint8_t channelId) {
    uint32_t offset = 0;
    while (offset + kFrameHeaderSize <= buffer.used) {
        buffer.data[offset + 1] = channelId;
        uint32_t length = (static_cast<uint32_t>(buffer.data[offset + 2]) << 8) | buffer.data[offset + 3];
        offset += kFrameHeaderSize + length;
    }
}

}  // namespace

RTPInterface::RTPInterface(Medium* owner, Groupsock* gs)
    : fOwner(owner), fGS(gs), fBurst(new (std::nothrow) DatagramBurst) {
    if (fGS != nullptr) increaseSendBufferTo(fOwner->envir(), fGS->socketNum(), kSocketSendBufferSize);
}

RTPInterface::~RTPInterface() {
    stopNetworkReading();
    removeAllStreamSockets();
}

bool RTPInterface::sendPacket(const uint8_t* packet, unsigned size) {
    bool ok = fGS == nullptr || fGS->output(packet, size);
    if (!fTCPDestinations.empty()) {
        batchPacketOverTCP(packet, size, nullptr, 0, fTCPDestinations.front().channelId, false);
    }
    return ok;
}

void RTPInterface::queuePacket(const uint8_t* header, unsigned headerSize, const uint8_t* payload,
                               unsigned payloadSize) {
    if (fGS != nullptr && fBurst != nullptr && !fGS->destinations().empty()) {
        if (fBurst->full() && fBurst->sendTo(fGS->socketNum(), fGS->destinations()) != 0) {
            fUDPFailed = true;
        }
        fBurst->add(header, headerSize, payload, payloadSize);
    }
    if (!fTCPDestinations.empty()) {
        batchPacketOverTCP(header, headerSize, payload, payloadSize,
                           fTCPDestinations.front().channelId, true);
    }
}

bool RTPInterface::flush() {
    if (fBurst != nullptr && !fBurst->empty()) {
        if (fGS == nullptr) {
            fBurst->clear();
        } else if (fBurst->sendTo(fGS->socketNum(), fGS->destinations()) != 0) {
            fUDPFailed = true;
        }
    }
    if (batchedPacketCount() > 0) flushTCPBatch(false);
    if (fTCPHeldBack) {
        fTCPHeldBack = false;
        for (const TCPDestination& destination : fTCPDestinations) destination.socket->pushPending();
    }
    bool ok = !fUDPFailed;
    fUDPFailed = false;
    return ok;
}

void RTPInterface::batchPacketOverTCP(const uint8_t* header, unsigned headerSize,
                                      const uint8_t* payload, unsigned payloadSize,
                                      uint8_t channelId, bool inBurst) {
    unsigned length = headerSize + payloadSize;
    uint32_t framedSize = kFrameHeaderSize + length;
    // Once the second buffer is in use, later packets go there too, so that
    // the batch keeps the packets in order.
    TCPBatchBuffer* target = nullptr;
    if (length <= 0xFFFF) {
        if (fBatch[1].used == 0 && fBatch[0].fits(framedSize)) {
            target = &fBatch[0];
        } else if (fBatch[1].fits(framedSize)) {
            target = &fBatch[1];
        }
    }
    if (target != nullptr) {
        uint8_t* out = target->data + target->used;
        out[0] = '$';
        out[1] = channelId;
        out[2] = static_cast<uint8_t>(length >> 8);
        out[3] = static_cast<uint8_t>(length);
        if (headerSize > 0) memcpy(out + kFrameHeaderSize, header, headerSize);
        if (payloadSize > 0) memcpy(out + kFrameHeaderSize + headerSize, payload, payloadSize);
        target->used += framedSize;
        ++target->packetCount;
    } else {
        fputs("Video rtp packet .....\n", stdout);
        fflush(stdout);
    }
    bool endsRun = (channelId >= 1 && channelId <= 3) || (channelId == 0 && length < kMaxPacketSize);
    if (endsRun) {
        flushTCPBatch(false);
    } else if (batchedPacketCount() >= kFlushPacketCount) {
        // Only the batch's size calls for this flush: within a burst the rest
        // of the frame follows at once.
        flushTCPBatch(inBurst);
    }
}

void RTPInterface::flushTCPBatch(bool moreFollows) {
    // A failed send removes destinations while we walk them: walk a copy.
    fFlushSnapshot.assign(fTCPDestinations.begin(), fTCPDestinations.end());
    for (const TCPDestination& destination : fFlushSnapshot) {
        if (destination.socket->failed() || fBatch[0].used == 0) continue;
        setChannelIds(fBatch[0], destination.channelId);
        setChannelIds(fBatch[1], destination.channelId);
        // Both buffers in one call: the first goes out before the second.
        destination.socket->send(fBatch[0].data, fBatch[0].used, fBatch[1].data, fBatch[1].used, moreFollows);
    }
    if (moreFollows) fTCPHeldBack = true;
    fFlushSnapshot.clear();
    fBatch[0].reset();
    fBatch[1].reset();
}

bool RTPInterface::addStreamSocket(int socketNum, uint8_t channelId) {
    TCPStreamSocket* socket = TCPStreamSocket::lookup(fOwner->envir(), socketNum);
    if (socket == nullptr || socket->failed()) return false;
    if (hasTCPDestination(socketNum, channelId)) return true;
    try {
        fTCPDestinations.insert(fTCPDestinations.begin(), TCPDestination{socket, channelId});
        fFlushSnapshot.reserve(fTCPDestinations.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    socket->attachClient(this);
    if (fReadHandler != nullptr) socket->setChannelReader(channelId, this);
    return true;
}

bool RTPInterface::hasTCPDestination(int socketNum, uint8_t channelId) const {
    return std::any_of(fTCPDestinations.begin(), fTCPDestinations.end(),
                       [&](const TCPDestination& d) {
                           return d.socket->socketNum() == socketNum && d.channelId == channelId;
                       });
}

void RTPInterface::removeStreamSocket(int socketNum, uint8_t channelId) {
    TCPStreamSocket* socket = nullptr;
    auto matches = [&](const TCPDestination& d) {
        return d.socket->socketNum() == socketNum && (channelId == 0xFF || d.channelId == channelId);
    };
    for (const TCPDestination& d : fTCPDestinations) {
        if (matches(d)) {
            socket = d.socket;
            d.socket->clearChannelReader(d.channelId, this);
        }
    }
    if (socket == nullptr) return;
    fTCPDestinations.erase(std::remove_if(fTCPDestinations.begin(), fTCPDestinations.end(), matches),
                           fTCPDestinations.end());
    forgetSocketIfUnused(socket);
}

void RTPInterface::removeAllStreamSockets() {
    while (!fTCPDestinations.empty()) {
        removeStreamSocket(fTCPDestinations.front().socket->socketNum(), 0xFF);
    }
}

void RTPInterface::removeDestinationsOf(TCPStreamSocket* socket) {
    for (const TCPDestination& d : fTCPDestinations) {
        if (d.socket == socket) socket->clearChannelReader(d.channelId, this);
    }
    fTCPDestinations.erase(std::remove_if(fTCPDestinations.begin(), fTCPDestinations.end(),
                                          [socket](const TCPDestination& d) { return d.socket == socket; }),
                           fTCPDestinations.end());
}

void RTPInterface::forgetSocketIfUnused(TCPStreamSocket* socket) {
    bool used = std::any_of(fTCPDestinations.begin(), fTCPDestinations.end(),
                            [socket](const TCPDestination& d) { return d.socket == socket; });
    if (!used) socket->detachClient(this);
}

void RTPInterface::streamSocketGone(TCPStreamSocket* socket) {
    removeDestinationsOf(socket);
    socket->detachClient(this);
}

void RTPInterface::incomingInterleavedFrame(TCPStreamSocket* socket, uint8_t channelId,
                                            const uint8_t* data, size_t size) {
    if (fReadHandler == nullptr || size > 0xFFFF) return;
    PacketOrigin origin;
    origin.overTCP = true;
    origin.socketNum = socket->socketNum();
    origin.channelId = channelId;
    fReadHandler(fReadClientData, data, static_cast<unsigned>(size), origin);
}

void RTPInterface::startNetworkReading(ReadHandler* handler, void* clientData) {
    fReadHandler = handler;
    fReadClientData = clientData;
    if (handler == nullptr) {
        stopNetworkReading();
        return;
    }
    if (fGS != nullptr) {
        fOwner->envir().taskScheduler().setBackgroundHandling(fGS->socketNum(), SOCKET_READABLE,
                                                              incomingDatagramHandler, this);
        fReadingUDP = true;
    }
    for (const TCPDestination& d : fTCPDestinations) d.socket->setChannelReader(d.channelId, this);
}

void RTPInterface::stopNetworkReading() {
    fReadHandler = nullptr;
    fReadClientData = nullptr;
    if (fReadingUDP) fOwner->envir().taskScheduler().disableBackgroundHandling(fGS->socketNum());
    fReadingUDP = false;
    for (const TCPDestination& d : fTCPDestinations) d.socket->clearChannelReader(d.channelId, this);
}

void RTPInterface::incomingDatagramHandler(void* clientData, int) {
    static_cast<RTPInterface*>(clientData)->readDatagrams();
}

void RTPInterface::readDatagrams() {
    // One datagram per event: the handler may destroy this interface, and the
    // level-triggered loop calls again while more are waiting.
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t size;
    do {
        size = recvfrom(fGS->socketNum(), fReadBuffer, sizeof fReadBuffer, MSG_TRUNC | MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    } while (size < 0 && errno == EINTR);
    // A datagram larger than our buffer is not an RTCP packet of ours.
    if (size < 0 || static_cast<size_t>(size) > sizeof fReadBuffer || from.sin_family != AF_INET) return;
    if (fReadHandler == nullptr) return;
    PacketOrigin origin;
    origin.address = from.sin_addr.s_addr;
    origin.port = ntohs(from.sin_port);
    fReadHandler(fReadClientData, fReadBuffer, static_cast<unsigned>(size), origin);
}
