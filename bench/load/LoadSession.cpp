#include "LoadSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "BenchClock.h"
#include "LoadClient.h"

namespace {

constexpr size_t kControlBuffer = 128 * 1024;
constexpr int kMaxReadsPerEvent = 8;
constexpr size_t kMaxUnmapped = 1024;

struct UrlParts {
    std::string host;
    uint16_t port = 554;
};

bool parseUrl(const std::string& url, UrlParts& parts) {
    const char* prefix = "rtsp://";
    if (url.compare(0, 7, prefix) != 0) return false;
    size_t hostEnd = url.find_first_of(":/", 7);
    parts.host = url.substr(7, hostEnd == std::string::npos ? std::string::npos : hostEnd - 7);
    if (parts.host == "localhost") parts.host = "127.0.0.1";
    if (hostEnd != std::string::npos && url[hostEnd] == ':') {
        long port = strtol(url.c_str() + hostEnd + 1, nullptr, 10);
        if (port <= 0 || port > 65535) return false;
        parts.port = static_cast<uint16_t>(port);
    }
    return !parts.host.empty();
}

// The video section's control attribute and clock rate from an SDP text.
bool parseVideoSection(const std::string& sdp, std::string& control, uint32_t& clockRate) {
    size_t video = sdp.find("m=video");
    if (video == std::string::npos) return false;
    size_t end = sdp.find("\nm=", video);
    std::string section = sdp.substr(video, end == std::string::npos ? std::string::npos : end - video);
    size_t at = section.find("a=control:");
    if (at == std::string::npos) return false;
    size_t valueEnd = section.find_first_of("\r\n", at);
    control = section.substr(at + 10, valueEnd == std::string::npos ? std::string::npos : valueEnd - at - 10);
    size_t rtpmap = section.find("a=rtpmap:");
    if (rtpmap != std::string::npos) {
        size_t slash = section.find('/', rtpmap);
        if (slash != std::string::npos) clockRate = static_cast<uint32_t>(strtoul(section.c_str() + slash + 1, nullptr, 10));
    }
    return true;
}

std::string resolveControl(const std::string& base, const std::string& control) {
    if (control.compare(0, 7, "rtsp://") == 0) return control;
    if (control == "*" || control.empty()) return base;
    return base + (base.back() == '/' ? "" : "/") + control;
}

int64_t arrivalFromControl(msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
        }
    }
    return wallMicros();
}

}  // namespace

LoadSession::LoadSession(LoadClient& client, unsigned index, std::string url)
    : fClient(client),
      fIndex(index),
      fUrl(std::move(url)),
      fControlTag{this, EventTag::Control},
      fRtpTag{this, EventTag::Rtp},
      fRtcpTag{this, EventTag::Rtcp},
      fReader(kControlBuffer) {}

LoadSession::~LoadSession() { closeSockets(); }

bool LoadSession::addToEpoll(int fd, EventTag* tag, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = tag;
    return epoll_ctl(fClient.epollFd(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void LoadSession::setState(State state) {
    bool wasSettingUp = settingUp();
    fState = state;
    if (wasSettingUp && !settingUp()) fClient.noteSetupFinished();
}

void LoadSession::begin() {
    fState = State::Connecting;
    fPendingSinceMono = monoMicros();
    UrlParts parts;
    if (!parseUrl(fUrl, parts)) return fail("bad URL " + fUrl);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(parts.port);
    if (inet_pton(AF_INET, parts.host.c_str(), &address.sin_addr) != 1) return fail("host must be an IPv4 address");
    fControlFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fControlFd < 0) return fail(std::string("socket: ") + strerror(errno));
    int one = 1;
    setsockopt(fControlFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int result = connect(fControlFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && errno != EINPROGRESS) return fail(std::string("connect: ") + strerror(errno));
    if (!addToEpoll(fControlFd, &fControlTag, EPOLLIN | EPOLLOUT)) return fail("epoll_ctl failed");
}

void LoadSession::onConnected() {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fControlFd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return fail(std::string("connect: ") + strerror(error));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &fControlTag;
    epoll_ctl(fClient.epollFd(), EPOLL_CTL_MOD, fControlFd, &event);
    fState = State::Describing;
    sendRequest("DESCRIBE", fUrl, "Accept: application/sdp\r\n");
}

void LoadSession::handleEvent(EventTag::Kind kind, uint32_t events) {
    if (fState == State::Failed || fState == State::Closed) return;
    switch (kind) {
    case EventTag::Control:
        if (fState == State::Connecting) {
            if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) onConnected();
            return;
        }
        readControl();
        return;
    case EventTag::Rtp: readUdp(fRtpFd, false); return;
    case EventTag::Rtcp: readUdp(fRtcpFd, true); return;
    }
}

void LoadSession::readControl() {
    for (int i = 0; i < kMaxReadsPerEvent; ++i) {
        size_t room = 0;
        uint8_t* into = fReader.space(room);
        if (room == 0) return fail("control buffer full");
        ssize_t got = recv(fControlFd, into, room, MSG_DONTWAIT);
        if (got == 0) {
            if (fState == State::TearingDown) {
                setState(State::Closed);
                closeSockets();
                return;
            }
            return fail("server closed the connection");
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            return fail(std::string("recv: ") + strerror(errno));
        }
        fReader.commit(static_cast<size_t>(got));
        handleItems();
        if (fState == State::Failed || fState == State::Closed) return;
        if (static_cast<size_t>(got) < room) return;
    }
}

void LoadSession::handleItems() {
    RtspMessage message;
    uint8_t channel = 0;
    ByteSpan packet;
    int64_t arrival = wallMicros();
    for (;;) {
        switch (fReader.next(message, channel, packet)) {
        case RtspReader::Item::None: return;
        case RtspReader::Item::Error: return fail("malformed RTSP data");
        case RtspReader::Item::Interleaved:
            if (channel == 0) onRtp(packet.data, packet.size, arrival);
            else if (channel == 1) onRtcp(packet.data, packet.size);
            break;
        case RtspReader::Item::Message:
            if (message.statusCode() >= 0) onResponse(message);
            if (fState == State::Failed || fState == State::Closed) return;
            break;
        }
    }
}

void LoadSession::onResponse(const RtspMessage& response) {
    const char* method = fPending;
    fPending = nullptr;
    if (method == nullptr) return;
    bool ok = response.statusCode() == 200;
    if (strcmp(method, "TEARDOWN") == 0) {
        setState(State::Closed);
        closeSockets();
        return;
    }
    if (strcmp(method, "KEEPALIVE") == 0) {
        if (ok) ++fKeepAlivesAnswered;
        return;
    }
    if (!ok) return fail(std::string(method) + " answered " + response.startLine);
    if (fState == State::Describing) onDescribed(response);
    else if (fState == State::SettingUp) onSetUp(response);
    else if (fState == State::Starting) onStarted();
}

void LoadSession::onDescribed(const RtspMessage& response) {
    std::string control;
    uint32_t clockRate = 90000;
    if (!parseVideoSection(response.body, control, clockRate)) return fail("no video track in the SDP");
    if (clockRate != 0) fRtp.setClockRate(clockRate);
    const std::string* base = response.header("Content-Base");
    if (base == nullptr) base = response.header("Content-Location");
    fTrackUrl = resolveControl(base != nullptr ? *base : fUrl, control);
    std::string transport;
    if (fClient.options().transport == LoadTransport::Tcp) {
        transport = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    } else {
        if (!fClient.openUdpPair(fRtpFd, fRtcpFd, fClientPort)) return fail("no free UDP port pair");
        if (!addToEpoll(fRtpFd, &fRtpTag, EPOLLIN) || !addToEpoll(fRtcpFd, &fRtcpTag, EPOLLIN))
            return fail("epoll_ctl failed");
        transport = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(fClientPort) + "-" +
                    std::to_string(fClientPort + 1) + "\r\n";
    }
    fState = State::SettingUp;
    sendRequest("SETUP", fTrackUrl, transport);
}

void LoadSession::onSetUp(const RtspMessage& response) {
    const std::string* session = response.header("Session");
    if (session == nullptr) return fail("SETUP without Session");
    fSessionId = session->substr(0, session->find(';'));
    fState = State::Starting;
    fPlaySentWallUs = wallMicros();
    sendRequest("PLAY", fUrl, "Range: npt=0.000-\r\n");
}

void LoadSession::onStarted() {
    setState(State::Playing);
    // Spread the keep-alives of sessions that started together.
    int64_t interval = static_cast<int64_t>(fClient.options().keepAliveS * 1e6);
    fNextKeepAliveMono = monoMicros() + interval + static_cast<int64_t>(fIndex % 100) * (interval / 400);
}

void LoadSession::readUdp(int fd, bool rtcp) {
    DatagramBatch& batch = fClient.batch();
    for (int round = 0; round < 4; ++round) {
        batch.reset();
        int got = recvmmsg(fd, batch.headers.data(), DatagramBatch::kCount, MSG_DONTWAIT, nullptr);
        if (got <= 0) return;
        for (int i = 0; i < got; ++i) {
            const uint8_t* data = batch.data.data() + static_cast<size_t>(i) * DatagramBatch::kSize;
            size_t size = batch.headers[i].msg_len;
            if (rtcp) onRtcp(data, size);
            else onRtp(data, size, arrivalFromControl(batch.headers[i].msg_hdr));
        }
        if (got < static_cast<int>(DatagramBatch::kCount)) return;
    }
}

void LoadSession::onRtp(const uint8_t* data, size_t size, int64_t arrivalWallUs) {
    if (!fRtp.notePacket(data, size)) return;
    if (fFirstPacketUs < 0 && fPlaySentWallUs != 0) fFirstPacketUs = arrivalWallUs - fPlaySentWallUs;
    if (!fClient.measuring()) return;
    fClient.notePacket(size, arrivalWallUs);
    if (!fRtp.lastMarker()) return;
    // A frame's latency: its last packet against the sender's clock.
    int64_t senderUs = 0;
    if (fRtp.senderWallUs(fRtp.lastTimestamp(), senderUs)) {
        fClient.noteLatency(arrivalWallUs - senderUs);
        if (fIndex == 0 && fClient.options().trace)
            fprintf(stderr, "trace: frame %u latency %.3f ms\n", fRtp.lastTimestamp(),
                    static_cast<double>(arrivalWallUs - senderUs) / 1000.0);
    }
    else if (fUnmapped.size() < kMaxUnmapped) fUnmapped.push_back({fRtp.lastTimestamp(), arrivalWallUs});
}

void LoadSession::onRtcp(const uint8_t* data, size_t size) {
    uint64_t reports = fRtp.senderReports();
    fRtp.noteRtcp(data, size);
    int64_t mapped = 0;
    if (fIndex == 0 && fClient.options().trace && fRtp.senderReports() != reports && fRtp.senderWallUs(0, mapped))
        fprintf(stderr, "trace: SR at %lld, received %llu packets, RTP 0 maps to %lld\n",
                static_cast<long long>(wallMicros()), static_cast<unsigned long long>(fRtp.received()),
                static_cast<long long>(mapped));
    int64_t senderUs = 0;
    if (fUnmapped.empty() || !fRtp.senderWallUs(0, senderUs)) return;
    for (const Unmapped& frame : fUnmapped) {
        fRtp.senderWallUs(frame.rtpTime, senderUs);
        fClient.noteLatency(frame.arrivalWallUs - senderUs);
    }
    fUnmapped.clear();
}

bool LoadSession::sendRequest(const char* method, const std::string& url, const std::string& extraHeaders) {
    bool keepAlive = strcmp(method, "KEEPALIVE") == 0;
    const char* wire = keepAlive ? (fClient.options().optionsKeepAlive ? "OPTIONS" : "GET_PARAMETER") : method;
    std::string request = std::string(wire) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++fCSeq) +
                          "\r\nUser-Agent: nerivo-load\r\n";
    if (!fSessionId.empty()) request += "Session: " + fSessionId + "\r\n";
    request += extraHeaders + "\r\n";
    ssize_t sent = send(fControlFd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != static_cast<ssize_t>(request.size())) {
        fail(std::string("cannot send ") + wire);
        return false;
    }
    fPending = method;
    fPendingSinceMono = monoMicros();
    return true;
}

void LoadSession::tick(int64_t nowMono) {
    int64_t timeout = static_cast<int64_t>(fClient.options().requestTimeoutS * 1e6);
    bool waiting = fState == State::Connecting || fPending != nullptr;
    if (waiting && nowMono - fPendingSinceMono > timeout) {
        if (fState == State::TearingDown) {
            setState(State::Closed);
            closeSockets();
            return;
        }
        if (fPending != nullptr && strcmp(fPending, "KEEPALIVE") == 0) {
            fPending = nullptr;  // counted as unanswered; the stream goes on
        } else {
            return fail(std::string("no answer to ") + (fPending != nullptr ? fPending : "connect"));
        }
    }
    if (fState == State::Playing && fPending == nullptr && nowMono >= fNextKeepAliveMono) {
        fNextKeepAliveMono += static_cast<int64_t>(fClient.options().keepAliveS * 1e6);
        sendRequest("KEEPALIVE", fUrl, "");
    }
}

void LoadSession::teardown() {
    if (fState != State::Playing) {
        if (settingUp()) fail("still setting up at the end");
        return;
    }
    fPending = nullptr;
    setState(State::TearingDown);
    sendRequest("TEARDOWN", fUrl, "");
}

void LoadSession::fail(const std::string& why) {
    if (fState == State::Failed || fState == State::Closed) return;
    if (fFailure.empty()) fFailure = why;
    setState(State::Failed);
    fPending = nullptr;
    closeSockets();
}

void LoadSession::closeSockets() {
    for (int* fd : {&fControlFd, &fRtpFd, &fRtcpFd}) {
        if (*fd >= 0) {
            epoll_ctl(fClient.epollFd(), EPOLL_CTL_DEL, *fd, nullptr);
            close(*fd);
            *fd = -1;
        }
    }
}
