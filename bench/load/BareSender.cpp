#include "BareSender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BenchClock.h"

namespace {

constexpr int64_t kFramePeriodUs = 40000;
constexpr int64_t kReportPeriodUs = 5000000;
constexpr size_t kMaxBacklog = 4u << 20;
constexpr int kSendBuffer = 4 << 20;
constexpr unsigned kMaxSegments = 44;     // 44 x 1456 bytes fit one UDP datagram's 65507
constexpr size_t kMaxGsoBytes = 65507;
// Tags of the fixed descriptors in epoll; client sockets use their fd.
constexpr uint64_t kListenTag = 1ull << 40;
constexpr uint64_t kTimerTag = 2ull << 40;
constexpr uint64_t kQuietTag = 3ull << 40;

uint32_t rtpTime(int64_t wallUs) { return static_cast<uint32_t>(static_cast<uint64_t>(wallUs) * 9 / 100); }

void putWord(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

int bindUdp(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    int size = kSendBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

std::string headerOr(const RtspMessage& message, const char* name) {
    const std::string* value = message.header(name);
    return value != nullptr ? *value : "";
}

}  // namespace

BareSender::BareSender(const StreamFile& file, uint16_t port, const Options& options)
    : fFile(file), fPort(port), fPacketizer(0x4e455256u, 96), fOptions(options) {}

BareSender::~BareSender() {
    for (auto& entry : fClients) close(entry.first);
    for (int fd : {fEpoll, fListen, fTimer, fRtpFd, fRtcpFd})
        if (fd >= 0) close(fd);
}

bool BareSender::openSockets() {
    fEpoll = epoll_create1(EPOLL_CLOEXEC);
    fListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(fPort);
    if (fEpoll < 0 || fListen < 0 || bind(fListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fListen, 1024) != 0) {
        fprintf(stderr, "nerivo-bare-sender: cannot listen on port %u: %s\n", fPort, strerror(errno));
        return false;
    }
    // An even/odd pair for RTP and RTCP.
    for (uint16_t port = 16970; fRtpFd < 0 && port < 17970; port = static_cast<uint16_t>(port + 2)) {
        uint16_t rtp = port, rtcp = static_cast<uint16_t>(port + 1);
        fRtpFd = bindUdp(rtp);
        fRtcpFd = fRtpFd >= 0 ? bindUdp(rtcp) : -1;
        if (fRtcpFd < 0 && fRtpFd >= 0) {
            close(fRtpFd);
            fRtpFd = -1;
        }
        fServerRtpPort = rtp;
    }
    fTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec period{};
    period.it_interval.tv_nsec = kFramePeriodUs * 1000;
    period.it_value.tv_nsec = kFramePeriodUs * 1000;
    if (fRtpFd < 0 || fTimer < 0 || timerfd_settime(fTimer, 0, &period, nullptr) != 0) {
        fprintf(stderr, "nerivo-bare-sender: cannot open the RTP sockets or the timer\n");
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenTag;
    epoll_ctl(fEpoll, EPOLL_CTL_ADD, fListen, &event);
    event.data.u64 = kTimerTag;
    epoll_ctl(fEpoll, EPOLL_CTL_ADD, fTimer, &event);
    event.data.u64 = kQuietTag;  // RTCP from clients is read and ignored
    epoll_ctl(fEpoll, EPOLL_CTL_ADD, fRtcpFd, &event);
    return true;
}

bool BareSender::run(const volatile sig_atomic_t& stop) {
    if (!openSockets()) return false;
    fOriginWallUs = wallMicros();
    fNextReportMono = monoMicros() + kReportPeriodUs;
    printf("ready port=%u\n", fPort);
    fflush(stdout);
    epoll_event events[256];
    while (!stop) {
        int count = epoll_wait(fEpoll, events, 256, 100);
        for (int i = 0; i < count; ++i) {
            uint64_t tag = events[i].data.u64;
            if (tag == kListenTag) {
                accept();
            } else if (tag == kTimerTag) {
                uint64_t expirations = 0;
                if (read(fTimer, &expirations, sizeof expirations) == sizeof expirations) {
                    fFrameIndex += expirations;  // a late tick sends one frame, never a burst
                    sendFrame();
                }
            } else if (tag == kQuietTag) {
                uint8_t sink[2048];
                while (recv(fRtcpFd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
                }
            } else {
                int fd = static_cast<int>(tag);
                auto it = fClients.find(fd);
                if (it != fClients.end() && (events[i].events & EPOLLOUT)) flushBacklog(*it->second);
                it = fClients.find(fd);  // a failed flush drops the client
                if (it != fClients.end() && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    readClient(*it->second);
            }
        }
    }
    return true;
}

void BareSender::accept() {
    for (;;) {
        int fd = accept4(fListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int size = kSendBuffer;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<uint64_t>(fd);
        epoll_ctl(fEpoll, EPOLL_CTL_ADD, fd, &event);
        fClients[fd] = std::move(client);
    }
}

void BareSender::readClient(Client& client) {
    size_t room = 0;
    uint8_t* into = client.reader.space(room);
    ssize_t got = room == 0 ? -1 : recv(client.fd, into, room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) return drop(client.fd);
    client.reader.commit(static_cast<size_t>(got));
    RtspMessage message;
    uint8_t channel = 0;
    ByteSpan packet;
    for (;;) {
        RtspReader::Item item = client.reader.next(message, channel, packet);
        if (item == RtspReader::Item::None) return;
        if (item == RtspReader::Item::Error) return drop(client.fd);
        if (item == RtspReader::Item::Message) {
            int fd = client.fd;
            handleRequest(client, message);
            if (fClients.count(fd) == 0) return;
        }
    }
}

void BareSender::handleRequest(Client& client, const RtspMessage& request) {
    std::string cseq = headerOr(request, "CSeq");
    std::string method = request.startLine.substr(0, request.startLine.find(' '));
    size_t urlEnd = request.startLine.find(' ', method.size() + 1);
    std::string url = request.startLine.substr(method.size() + 1, urlEnd - method.size() - 1);
    if (method == "OPTIONS" || method == "GET_PARAMETER") {
        respond(client, 200, cseq, "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n");
    } else if (method == "DESCRIBE") {
        std::string sdp =
            "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=bare\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
            "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track1\r\n";
        respond(client, 200, cseq, "Content-Base: " + url + "/\r\nContent-Type: application/sdp\r\n", sdp);
    } else if (method == "SETUP") {
        int status = 200;
        std::string headers = setUp(client, request, status);
        respond(client, status, cseq, headers);
    } else if (method == "PLAY") {
        respond(client, 200, cseq, "Session: " + client.sessionId + "\r\nRange: npt=0.000-\r\n");
        client.playing = !client.sessionId.empty();
    } else if (method == "TEARDOWN") {
        client.playing = false;
        respond(client, 200, cseq, "");
    } else {
        respond(client, 501, cseq, "");
    }
}

std::string BareSender::setUp(Client& client, const RtspMessage& request, int& status) {
    std::string transport = headerOr(request, "Transport");
    client.sessionId = std::to_string(100000 + fNextSession++);
    std::string session = "Session: " + client.sessionId + ";timeout=60\r\n";
    if (transport.find("RTP/AVP/TCP") != std::string::npos) {
        if (headerOr(request, "Transport").find("interleaved=0-1") == std::string::npos) {
            status = 461;
            return "";
        }
        client.interleaved = true;
        return session + "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    }
    std::string ports = headerParameter(transport, "client_port");
    int rtpPort = atoi(ports.c_str());
    if (rtpPort <= 0 || rtpPort > 65534) {
        status = 461;
        return "";
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    getpeername(client.fd, reinterpret_cast<sockaddr*>(&peer), &length);
    client.rtp = peer;
    client.rtp.sin_port = htons(static_cast<uint16_t>(rtpPort));
    client.rtcp = peer;
    client.rtcp.sin_port = htons(static_cast<uint16_t>(rtpPort + 1));
    return session + "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtpPort) + "-" +
           std::to_string(rtpPort + 1) + ";server_port=" + std::to_string(fServerRtpPort) + "-" +
           std::to_string(fServerRtpPort + 1) + "\r\n";
}

void BareSender::respond(Client& client, int status, const std::string& cseq, const std::string& headers,
                         const std::string& body) {
    const char* reason = status == 200 ? "OK" : status == 461 ? "Unsupported Transport" : "Not Implemented";
    std::string text = "RTSP/1.0 " + std::to_string(status) + " " + reason + "\r\nCSeq: " + cseq + "\r\n" + headers;
    if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    writeTcp(client, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void BareSender::sendFrame() {
    int64_t dueWall = fOriginWallUs + static_cast<int64_t>(fFrameIndex) * kFramePeriodUs;
    fPacketizer.build(fFile.at(fFrameIndex), rtpTime(dueWall));
    if (fOptions.gso) buildSegmentRuns();
    ++fFrames;
    std::vector<int> failed;
    for (auto& entry : fClients) {
        Client& client = *entry.second;
        if (!client.playing) continue;
        if (!client.interleaved) {
            if (fOptions.gso) sendSegmentRuns(client);
            else sendUdp(client);
            continue;
        }
        if (!writeFrameTcp(client)) failed.push_back(entry.first);
    }
    for (int fd : failed) drop(fd);
    if (monoMicros() >= fNextReportMono) {
        fNextReportMono += kReportPeriodUs;
        sendReports();
    }
}

void BareSender::sendUdp(const Client& client) {
    const std::vector<iovec>& packets = fPacketizer.packets();
    if (fMessages.size() < packets.size()) fMessages.resize(packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        msghdr& header = fMessages[i].msg_hdr;
        header = msghdr{};
        header.msg_name = const_cast<sockaddr_in*>(&client.rtp);
        header.msg_namelen = sizeof client.rtp;
        header.msg_iov = const_cast<iovec*>(&packets[i]);
        header.msg_iovlen = 1;
    }
    size_t done = 0;
    while (done < packets.size()) {
        int sent = sendmmsg(fRtpFd, fMessages.data() + done, static_cast<unsigned>(packets.size() - done), 0);
        if (sent <= 0) return;  // the kernel dropped the rest: counted as loss by the client
        done += static_cast<size_t>(sent);
    }
}

// Packets lie back to back in the packetizer's buffer, so a run of full-size
// packets and the packet after it form one block the kernel can segment.
void BareSender::buildSegmentRuns() {
    const std::vector<iovec>& packets = fPacketizer.packets();
    fRuns.clear();
    for (size_t i = 0; i < packets.size();) {
        SegmentRun run{packets[i], 1};
        while (packets[i].iov_len == RtpPacketizer::kMaxPacket && i + 1 < packets.size() &&
               run.packets < kMaxSegments && run.bytes.iov_len + packets[i + 1].iov_len <= kMaxGsoBytes) {
            ++i;
            run.bytes.iov_len += packets[i].iov_len;
            ++run.packets;
        }
        fRuns.push_back(run);
        ++i;
    }
    fRunControl.assign(fRuns.size() * CMSG_SPACE(sizeof(uint16_t)), 0);
    for (size_t i = 0; i < fRuns.size(); ++i) {
        auto* control = reinterpret_cast<cmsghdr*>(fRunControl.data() + i * CMSG_SPACE(sizeof(uint16_t)));
        control->cmsg_level = SOL_UDP;
        control->cmsg_type = UDP_SEGMENT;
        control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        uint16_t segment = static_cast<uint16_t>(RtpPacketizer::kMaxPacket);
        memcpy(CMSG_DATA(control), &segment, sizeof segment);
    }
}

void BareSender::sendSegmentRuns(const Client& client) {
    if (fMessages.size() < fRuns.size()) fMessages.resize(fRuns.size());
    for (size_t i = 0; i < fRuns.size(); ++i) {
        msghdr& header = fMessages[i].msg_hdr;
        header = msghdr{};
        header.msg_name = const_cast<sockaddr_in*>(&client.rtp);
        header.msg_namelen = sizeof client.rtp;
        header.msg_iov = &fRuns[i].bytes;
        header.msg_iovlen = 1;
        if (fRuns[i].packets > 1) {
            header.msg_control = fRunControl.data() + i * CMSG_SPACE(sizeof(uint16_t));
            header.msg_controllen = CMSG_SPACE(sizeof(uint16_t));
        }
    }
    size_t done = 0;
    while (done < fRuns.size()) {
        int sent = sendmmsg(fRtpFd, fMessages.data() + done, static_cast<unsigned>(fRuns.size() - done), 0);
        if (sent <= 0) return;
        done += static_cast<size_t>(sent);
    }
}

void BareSender::sendReports() {
    uint8_t report[28 + 12] = {};
    int64_t now = wallMicros();
    report[0] = 0x80;
    report[1] = 200;
    report[3] = 6;
    putWord(report + 4, fPacketizer.ssrc());
    uint64_t seconds = static_cast<uint64_t>(now / 1000000) + 2208988800u;
    uint64_t fraction = (static_cast<uint64_t>(now % 1000000) << 32) / 1000000;
    putWord(report + 8, static_cast<uint32_t>(seconds));
    putWord(report + 12, static_cast<uint32_t>(fraction));
    putWord(report + 16, rtpTime(now));
    putWord(report + 20, fPacketizer.packetCount());
    putWord(report + 24, fPacketizer.octetCount());
    // SDES with an empty CNAME, padded to a word.
    uint8_t* sdes = report + 28;
    sdes[0] = 0x81;
    sdes[1] = 202;
    sdes[3] = 2;
    putWord(sdes + 4, fPacketizer.ssrc());
    sdes[8] = 1;
    uint8_t framed[4 + sizeof report] = {'$', 1, 0, sizeof report};
    memcpy(framed + 4, report, sizeof report);
    for (auto& entry : fClients) {
        Client& client = *entry.second;
        if (!client.playing) continue;
        if (client.interleaved) writeTcp(client, framed, sizeof framed);
        else sendto(fRtcpFd, report, sizeof report, 0, reinterpret_cast<const sockaddr*>(&client.rtcp), sizeof client.rtcp);
    }
}

bool BareSender::writeFrameTcp(Client& client) {
    const std::vector<uint8_t>& bytes = fPacketizer.interleaved();
    if (fOptions.tcpBatch == 0) return writeTcp(client, bytes.data(), bytes.size());
    const std::vector<iovec>& packets = fPacketizer.packets();
    size_t offset = 0;
    for (size_t first = 0; first < packets.size(); first += fOptions.tcpBatch) {
        size_t size = 0;
        size_t end = std::min(packets.size(), first + fOptions.tcpBatch);
        for (size_t i = first; i < end; ++i) size += 4 + packets[i].iov_len;
        int flags = fOptions.tcpMore && end < packets.size() ? MSG_MORE : 0;
        if (!writeTcp(client, bytes.data() + offset, size, flags)) return false;
        offset += size;
    }
    return true;
}

bool BareSender::writeTcp(Client& client, const uint8_t* data, size_t size, int flags) {
    if (!client.backlog.empty()) {
        if (client.backlog.size() + size > kMaxBacklog) return false;
        client.backlog.insert(client.backlog.end(), data, data + size);
        return true;
    }
    ssize_t sent = send(client.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
    if (sent < 0 && errno != EAGAIN) return false;
    size_t done = sent < 0 ? 0 : static_cast<size_t>(sent);
    if (done == size) return true;
    client.backlog.assign(data + done, data + size);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u64 = static_cast<uint64_t>(client.fd);
    epoll_ctl(fEpoll, EPOLL_CTL_MOD, client.fd, &event);
    return true;
}

void BareSender::flushBacklog(Client& client) {
    if (client.backlog.empty()) return;
    ssize_t sent = send(client.fd, client.backlog.data(), client.backlog.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN) drop(client.fd);
        return;
    }
    client.backlog.erase(client.backlog.begin(), client.backlog.begin() + sent);
    if (!client.backlog.empty()) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<uint64_t>(client.fd);
    epoll_ctl(fEpoll, EPOLL_CTL_MOD, client.fd, &event);
}

void BareSender::drop(int fd) {
    auto it = fClients.find(fd);
    if (it == fClients.end()) return;
    if (it->second->playing) ++fDroppedClients;
    epoll_ctl(fEpoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    fClients.erase(it);
}
