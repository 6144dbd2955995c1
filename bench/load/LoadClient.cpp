#include "LoadClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "BenchClock.h"
#include "LoadSession.h"

namespace {

constexpr int kUdpReceiveBuffer = 4 << 20;
constexpr int64_t kTickUs = 100000;
constexpr int64_t kTeardownWaitUs = 5000000;

int openBoundUdp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int size = kUdpReceiveBuffer;
    // Root may go past rmem_max; otherwise the kernel caps the request.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    return fd;
}

double median(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

DatagramBatch::DatagramBatch()
    : data(static_cast<size_t>(kCount) * kSize), control(static_cast<size_t>(kCount) * 64), headers(kCount),
      vectors(kCount) {
    reset();
}

void DatagramBatch::reset() {
    for (unsigned i = 0; i < kCount; ++i) {
        vectors[i].iov_base = data.data() + static_cast<size_t>(i) * kSize;
        vectors[i].iov_len = kSize;
        msghdr& header = headers[i].msg_hdr;
        memset(&header, 0, sizeof header);
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = control.data() + static_cast<size_t>(i) * 64;
        header.msg_controllen = 64;
        headers[i].msg_len = 0;
    }
}

LoadClient::LoadClient(const LoadOptions& options) : fOptions(options), fNextPort(options.udpBase) {
    fEpoll = epoll_create1(EPOLL_CLOEXEC);
    for (unsigned i = 0; i < fOptions.clients; ++i)
        fSessions.push_back(std::make_unique<LoadSession>(*this, i, fOptions.urls[i % fOptions.urls.size()]));
}

LoadClient::~LoadClient() {
    fSessions.clear();
    if (fEpoll >= 0) close(fEpoll);
}

bool LoadClient::openUdpPair(int& rtpFd, int& rtcpFd, uint16_t& port) {
    if (fNextPort % 2 != 0) ++fNextPort;
    while (fNextPort < 65534) {
        uint16_t candidate = fNextPort;
        fNextPort = static_cast<uint16_t>(fNextPort + 2);
        int rtp = openBoundUdp(candidate);
        if (rtp < 0) continue;
        int rtcp = openBoundUdp(static_cast<uint16_t>(candidate + 1));
        if (rtcp < 0) {
            close(rtp);
            continue;
        }
        rtpFd = rtp;
        rtcpFd = rtcp;
        port = candidate;
        return true;
    }
    return false;
}

void LoadClient::notePacket(size_t bytes, int64_t arrivalWallUs) {
    ++fPackets;
    fBytes += bytes;
    int64_t second = (arrivalWallUs - fWindowStartWallUs) / 1000000;
    if (second < 0) second = 0;
    if (static_cast<size_t>(second) >= fPacketsPerSecond.size()) second = static_cast<int64_t>(fPacketsPerSecond.size()) - 1;
    ++fPacketsPerSecond[static_cast<size_t>(second)];
    fBytesPerSecond[static_cast<size_t>(second)] += bytes;
}

void LoadClient::noteLatency(int64_t micros) { fLatency.add(micros); }

int LoadClient::run() {
    if (fEpoll < 0) {
        fprintf(stderr, "nerivo-load: epoll_create1: %s\n", strerror(errno));
        return 1;
    }
    fStartMono = monoMicros();
    fPhaseStartMono = fStartMono;
    while (fPhase != Phase::Done) {
        if (fPhase == Phase::Setup) startSessions();
        loopOnce(10);
        int64_t now = monoMicros();
        if (now - fLastTickMono >= kTickUs) {
            fLastTickMono = now;
            tickSessions();
        }
        advancePhase();
    }
    report();
    return 0;
}

void LoadClient::startSessions() {
    while (fSettingUp < fOptions.setupConcurrency && fNextToStart < fSessions.size()) {
        ++fSettingUp;
        fSessions[fNextToStart++]->begin();
    }
}

void LoadClient::loopOnce(int timeoutMs) {
    epoll_event events[256];
    int count = epoll_wait(fEpoll, events, 256, timeoutMs);
    for (int i = 0; i < count; ++i) {
        auto* tag = static_cast<EventTag*>(events[i].data.ptr);
        tag->session->handleEvent(tag->kind, events[i].events);
    }
}

void LoadClient::tickSessions() {
    int64_t now = monoMicros();
    for (auto& session : fSessions) session->tick(now);
}

bool LoadClient::allDelivering() const {
    for (const auto& session : fSessions)
        if (session->state() == LoadSession::State::Playing && !session->hasFirstPacket()) return false;
    return true;
}

bool LoadClient::teardownFinished() const {
    for (const auto& session : fSessions)
        if (session->state() == LoadSession::State::TearingDown) return false;
    return true;
}

void LoadClient::advancePhase() {
    int64_t now = monoMicros();
    int64_t inPhase = now - fPhaseStartMono;
    switch (fPhase) {
    case Phase::Setup: {
        bool allStarted = fNextToStart == fSessions.size() && fSettingUp == 0;
        if (!allStarted && inPhase < static_cast<int64_t>(fOptions.setupTimeoutS * 1e6)) return;
        for (auto& session : fSessions)
            if (session->settingUp() || session->state() == LoadSession::State::Waiting)
                session->abandon("not playing before the set-up time-out");
        fSetupSeconds = static_cast<double>(inPhase) / 1e6;
        fPhase = Phase::Settle;
        fPhaseStartMono = now;
        return;
    }
    case Phase::Settle:
        if (!allDelivering() && inPhase < static_cast<int64_t>(fOptions.settleS * 1e6)) return;
        fPhase = Phase::Warmup;
        fPhaseStartMono = now;
        return;
    case Phase::Warmup:
        if (inPhase < static_cast<int64_t>(fOptions.warmupS * 1e6)) return;
        openWindow();
        return;
    case Phase::Window:
        if (inPhase < static_cast<int64_t>(fOptions.durationS * 1e6)) return;
        closeWindow();
        for (auto& session : fSessions) session->teardown();
        fPhase = Phase::Teardown;
        fPhaseStartMono = now;
        return;
    case Phase::Teardown:
        if (teardownFinished() || inPhase > kTeardownWaitUs) fPhase = Phase::Done;
        return;
    case Phase::Done: return;
    }
}

void LoadClient::openWindow() {
    size_t seconds = static_cast<size_t>(std::ceil(fOptions.durationS)) + 1;
    fPacketsPerSecond.assign(seconds, 0);
    fBytesPerSecond.assign(seconds, 0);
    fSeqAtStart.clear();
    fGapsAtStart.clear();
    fPlayingAtStart = 0;
    for (const auto& session : fSessions) {
        fSeqAtStart.push_back(session->rtp().snapshot());
        fGapsAtStart.push_back(session->rtp().gapEvents());
        if (session->state() == LoadSession::State::Playing) ++fPlayingAtStart;
    }
    fServerAtStart = sampleProcess(fOptions.serverPid);
    fOwnCpuAtStart = ownCpuSeconds();
    fWindowStartWallUs = wallMicros();
    fWindowStartMono = monoMicros();
    fPhase = Phase::Window;
    fPhaseStartMono = fWindowStartMono;
}

void LoadClient::closeWindow() {
    fWindowSeconds = static_cast<double>(monoMicros() - fWindowStartMono) / 1e6;
    fServerAtEnd = sampleProcess(fOptions.serverPid);
    fOwnCpuAtEnd = ownCpuSeconds();
    fSeqAtEnd.clear();
    fGapsAtEnd.clear();
    fReportsAtEnd.clear();
    for (const auto& session : fSessions) {
        fSeqAtEnd.push_back(session->rtp().snapshot());
        fGapsAtEnd.push_back(session->rtp().gapEvents());
        fReportsAtEnd.push_back(session->rtp().senderReports());
    }
}

void LoadClient::report() const {
    uint64_t expected = 0, received = 0, gaps = 0;
    unsigned failed = 0, noFirst = 0, noReport = 0, closedClean = 0;
    uint64_t keepAlives = 0;
    std::vector<double> firstPacketMs;
    std::string firstFailure;
    for (size_t i = 0; i < fSessions.size(); ++i) {
        const LoadSession& session = *fSessions[i];
        if (i < fSeqAtEnd.size()) {
            expected += fSeqAtEnd[i].expected - fSeqAtStart[i].expected;
            received += fSeqAtEnd[i].received - fSeqAtStart[i].received;
            gaps += fGapsAtEnd[i] - fGapsAtStart[i];
            if (fReportsAtEnd[i] == 0 && session.rtp().received() > 0) ++noReport;
        }
        if (session.state() == LoadSession::State::Failed) {
            ++failed;
            if (firstFailure.empty()) firstFailure = session.failure();
        }
        if (session.state() == LoadSession::State::Closed) ++closedClean;
        keepAlives += session.keepAlivesAnswered();
        if (session.hasFirstPacket()) firstPacketMs.push_back(static_cast<double>(session.firstPacketDelayUs()) / 1000.0);
        else if (session.state() != LoadSession::State::Failed) ++noFirst;
    }
    uint64_t lost = expected > received ? expected - received : 0;
    double lossPct = expected == 0 ? 0 : 100.0 * static_cast<double>(lost) / static_cast<double>(expected);
    double serverCpu = fServerAtStart.valid && fServerAtEnd.valid ? fServerAtEnd.cpuSeconds - fServerAtStart.cpuSeconds : -1;
    double window = fWindowSeconds > 0 ? fWindowSeconds : 1;
    double mbps = static_cast<double>(fBytes) * 8 / window / 1e6;
    double gib = static_cast<double>(fBytes) / (1024.0 * 1024.0 * 1024.0);
    double cpuPerGib = serverCpu >= 0 && gib > 0 ? serverCpu / gib : -1;
    std::string perSecond;
    for (size_t i = 0; i < fPacketsPerSecond.size(); ++i) {
        if (!perSecond.empty()) perSecond += ",";
        perSecond += "[" + std::to_string(fPacketsPerSecond[i]) + "," + std::to_string(fBytesPerSecond[i]) + "]";
    }
    std::string quotedFailure;
    for (char c : firstFailure) quotedFailure += (c == '"' || c == '\\') ? '\'' : c;
    printf("{\"label\":\"%s\",\"transport\":\"%s\",\"clients\":%u,\"streams\":%zu,\"playing\":%u,\"failed\":%u,"
           "\"closed\":%u,\"keepalives\":%llu,\"setup_s\":%.3f,\"window_s\":%.3f,\"packets\":%llu,\"bytes\":%llu,\"mbps\":%.3f,"
           "\"expected\":%llu,\"lost\":%llu,\"loss_pct\":%.4f,\"gap_events\":%llu,"
           "\"lat_samples\":%llu,\"lat_p50_ms\":%.3f,\"lat_p99_ms\":%.3f,\"lat_min_ms\":%.3f,\"lat_max_ms\":%.3f,"
           "\"first_p50_ms\":%.3f,\"first_p99_ms\":%.3f,\"first_max_ms\":%.3f,\"no_first\":%u,\"no_sr\":%u,"
           "\"server_cpu_s\":%.3f,\"server_cpu_pct\":%.2f,\"server_cpu_s_per_gib\":%.3f,\"server_hwm_kb\":%llu,"
           "\"server_rss_kb\":%llu,\"client_cpu_s\":%.3f,\"client_cpu_total_s\":%.3f,\"first_failure\":\"%s\","
           "\"per_second\":[%s]}\n",
           fOptions.label.c_str(), fOptions.transport == LoadTransport::Tcp ? "tcp" : "udp", fOptions.clients,
           fOptions.urls.size(), fPlayingAtStart, failed, closedClean, static_cast<unsigned long long>(keepAlives),
           fSetupSeconds, fWindowSeconds,
           static_cast<unsigned long long>(fPackets), static_cast<unsigned long long>(fBytes), mbps,
           static_cast<unsigned long long>(expected), static_cast<unsigned long long>(lost), lossPct,
           static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(fLatency.count()),
           fLatency.percentileMs(0.5), fLatency.percentileMs(0.99), fLatency.minMs(), fLatency.maxMs(),
           median(firstPacketMs, 0.5), median(firstPacketMs, 0.99), median(firstPacketMs, 1.0), noFirst, noReport,
           serverCpu, serverCpu >= 0 ? 100.0 * serverCpu / window : -1.0, cpuPerGib,
           static_cast<unsigned long long>(fServerAtEnd.peakRssKb), static_cast<unsigned long long>(fServerAtEnd.rssKb),
           fOwnCpuAtEnd - fOwnCpuAtStart, ownCpuSeconds(), quotedFailure.c_str(), perSecond.c_str());
    fflush(stdout);
    fprintf(stderr,
            "nerivo-load %s: %u/%u sessions playing (%u failed%s%s), %.1f s: %.1f Mbit/s, %llu packets, loss %.3f%% "
            "(%llu), latency p50 %.2f ms p99 %.2f ms (%llu frames), first packet p50 %.1f ms max %.1f ms, "
            "server CPU %.2f s (%.3f s/GiB), peak RSS %.1f MiB, own CPU %.2f s\n",
            fOptions.label.c_str(), fPlayingAtStart, fOptions.clients, failed, firstFailure.empty() ? "" : ": ",
            firstFailure.c_str(), fWindowSeconds, mbps, static_cast<unsigned long long>(fPackets), lossPct,
            static_cast<unsigned long long>(lost), fLatency.percentileMs(0.5), fLatency.percentileMs(0.99),
            static_cast<unsigned long long>(fLatency.count()), median(firstPacketMs, 0.5), median(firstPacketMs, 1.0),
            serverCpu, cpuPerGib, static_cast<double>(fServerAtEnd.peakRssKb) / 1024.0, fOwnCpuAtEnd - fOwnCpuAtStart);
}
