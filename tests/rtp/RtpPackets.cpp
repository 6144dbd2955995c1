#include "RtpPackets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool parseRtpPacket(const uint8_t* data, size_t size, RtpPacket& packet) {
    if (size < 12 || (data[0] >> 6) != 2 || (data[0] & 0x0F) != 0) return false;
    packet.marker = (data[1] & 0x80) != 0;
    packet.payloadType = data[1] & 0x7F;
    packet.seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
    packet.timestamp = (static_cast<uint32_t>(data[4]) << 24) | (data[5] << 16) | (data[6] << 8) | data[7];
    packet.ssrc = (static_cast<uint32_t>(data[8]) << 24) | (data[9] << 16) | (data[10] << 8) | data[11];
    packet.payload.assign(data + 12, data + size);
    packet.size = size;
    return true;
}

bool splitInterleaved(const std::vector<uint8_t>& stream, std::vector<InterleavedFrame>& frames) {
    size_t offset = 0;
    while (offset < stream.size()) {
        if (stream.size() - offset < 4 || stream[offset] != '$') return false;
        size_t length = (static_cast<size_t>(stream[offset + 2]) << 8) | stream[offset + 3];
        if (stream.size() - offset - 4 < length) return false;
        frames.push_back({stream[offset + 1],
                          std::vector<uint8_t>(stream.begin() + offset + 4,
                                               stream.begin() + offset + 4 + length)});
        offset += 4 + length;
    }
    return true;
}

NalAssembly reassembleNalUnits(int hNumber, const std::vector<RtpPacket>& packets) {
    NalAssembly result;
    std::vector<uint8_t> current;
    bool inFU = false;
    unsigned fuType = hNumber == 264 ? 28 : 49;
    for (size_t i = 0; i < packets.size(); ++i) {
        const RtpPacket& p = packets[i];
        if (i > 0 && static_cast<uint16_t>(packets[i - 1].seq + 1) != p.seq) {
            result.error = "sequence gap";
            return result;
        }
        if (p.payload.empty()) {
            result.error = "empty payload";
            return result;
        }
        unsigned type = hNumber == 264 ? (p.payload[0] & 0x1F) : ((p.payload[0] >> 1) & 0x3F);
        if (type != fuType) {
            if (inFU) {
                result.error = "single packet inside FU";
                return result;
            }
            result.nalUnits.push_back(p.payload);
            result.markerOnLast.push_back(p.marker);
            continue;
        }
        size_t headerSize = hNumber == 264 ? 2 : 3;
        if (p.payload.size() <= headerSize) {
            result.error = "short FU";
            return result;
        }
        uint8_t fuHeader = p.payload[headerSize - 1];
        bool start = fuHeader & 0x80, end = fuHeader & 0x40;
        if (start == inFU || (start && end)) {
            result.error = "bad FU start/end bits";
            return result;
        }
        if (!end && p.marker) {
            result.error = "marker before the last fragment";
            return result;
        }
        if (start) {
            current.clear();
            if (hNumber == 264) {
                current.push_back(static_cast<uint8_t>((p.payload[0] & 0xE0) | (fuHeader & 0x1F)));
            } else {
                current.push_back(static_cast<uint8_t>((p.payload[0] & 0x81) | ((fuHeader & 0x3F) << 1)));
                current.push_back(p.payload[1]);
            }
            inFU = true;
        }
        current.insert(current.end(), p.payload.begin() + headerSize, p.payload.end());
        if (end) {
            result.nalUnits.push_back(current);
            result.markerOnLast.push_back(p.marker);
            inFU = false;
        }
    }
    if (inFU) result.error = "unfinished FU";
    return result;
}

std::vector<RtpPacket> receiveRtpPackets(int udpSocket) {
    std::vector<RtpPacket> packets;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = recv(udpSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) break;
        RtpPacket packet;
        if (parseRtpPacket(buffer, static_cast<size_t>(n), packet)) packets.push_back(std::move(packet));
    }
    return packets;
}

int openUdpReceiver(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
    return fd;
}
