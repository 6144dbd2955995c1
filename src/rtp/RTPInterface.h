// How one RTP sink or one RTCP instance reaches its receivers: over UDP through
// its groupsock, and interleaved on RTSP connections (TCP destinations, the
// most recently added first). Interleaved packets are framed ('$', channel,
// 16-bit length) into a batch of two buffers that is written in one send per
// buffer; each destination gets the packets framed with its own channel id.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rtp/DatagramBurst.h"
#include "rtp/Groupsock.h"
#include "rtp/TCPBatchBuffer.h"
#include "rtp/TCPStreamSocket.h"

// Where an incoming packet came from.
struct PacketOrigin {
    bool overTCP = false;
    uint32_t address = 0;  // UDP: network order
    uint16_t port = 0;     // UDP: host order
    int socketNum = -1;    // TCP
    uint8_t channelId = 0; // TCP
};

class RTPInterface : private TCPStreamSocketClient {
public:
    // Largest RTP packet the sinks send.
    static constexpr unsigned kMaxPacketSize = 1456;
    static constexpr unsigned kSocketSendBufferSize = 524288;

    typedef void ReadHandler(void* clientData, const uint8_t* packet, unsigned size,
                             const PacketOrigin& origin);

    // gs may be null (TCP only). Raises the UDP socket's send buffer.
    RTPInterface(Medium* owner, Groupsock* gs);
    ~RTPInterface();
    RTPInterface(const RTPInterface&) = delete;
    RTPInterface& operator=(const RTPInterface&) = delete;

    bool valid() const { return fBurst != nullptr; }
    Groupsock* gs() const { return fGS; }

    // Sends at once over UDP and adds to the TCP batch; the result is the UDP
    // result alone. Callers end their burst with flush().
    bool sendPacket(const uint8_t* packet, unsigned size);
    // RTP path: the UDP send waits for flush() (the payload must stay valid
    // until then); the TCP batch takes a copy at once.
    void queuePacket(const uint8_t* header, unsigned headerSize, const uint8_t* payload,
                     unsigned payloadSize);
    // End of a burst: sends the queued UDP packets and whatever the TCP batch
    // still holds. False when a UDP send failed since the last flush.
    bool flush();

    // Adds (socketNum, channelId) as a TCP destination. False when no
    // TCPStreamSocket exists for the socket or it has failed.
    bool addStreamSocket(int socketNum, uint8_t channelId);
    // Removes that destination; channel 0xFF removes every channel of the socket.
    void removeStreamSocket(int socketNum, uint8_t channelId);
    void removeAllStreamSockets();
    size_t numTCPDestinations() const { return fTCPDestinations.size(); }
    bool hasTCPDestination(int socketNum, uint8_t channelId) const;

    // Incoming packets (UDP datagrams on the groupsock, interleaved frames of
    // the TCP destinations' channels) go to the handler.
    void startNetworkReading(ReadHandler* handler, void* clientData);
    void stopNetworkReading();

private:
    struct TCPDestination {
        TCPStreamSocket* socket;
        uint8_t channelId;
    };

    // inBurst: the packet is part of a burst that ends with flush().
    void batchPacketOverTCP(const uint8_t* header, unsigned headerSize, const uint8_t* payload,
                            unsigned payloadSize, uint8_t channelId, bool inBurst);
    // moreFollows: a flush in the middle of a burst, whose bytes may wait for
    // the rest of it in the kernel (flush() pushes them at the burst's end).
    void flushTCPBatch(bool moreFollows);
    unsigned batchedPacketCount() const { return fBatch[0].packetCount + fBatch[1].packetCount; }
    void removeDestinationsOf(TCPStreamSocket* socket);
    void forgetSocketIfUnused(TCPStreamSocket* socket);
    void streamSocketGone(TCPStreamSocket* socket) override;
    void incomingInterleavedFrame(TCPStreamSocket* socket, uint8_t channelId, const uint8_t* data,
                                  size_t size) override;
    static void incomingDatagramHandler(void* clientData, int mask);
    void readDatagrams();

    Medium* fOwner;
    Groupsock* fGS;
    std::unique_ptr<DatagramBurst> fBurst;
    bool fUDPFailed = false;
    std::vector<TCPDestination> fTCPDestinations;
    std::vector<TCPDestination> fFlushSnapshot;
    TCPBatchBuffer fBatch[2];
    bool fTCPHeldBack = false;  // a flush of this burst went out with moreFollows
    ReadHandler* fReadHandler = nullptr;
    void* fReadClientData = nullptr;
    bool fReadingUDP = false;
    uint8_t fReadBuffer[2048];
};
