// Packetizing and sending one 1080p-like H.264 stream (about 4 Mbit/s: 25 fps,
// a 100 KB key frame every 50 frames, 18 KB otherwise) through the sink, over
// loopback UDP and over a TCP-like socket pair, beside a bare sender of the
// same packets (sendmmsg of prebuilt packets; one write of prebuilt bytes per
// frame). A reader thread drains the far end in every case. The ratios of the
// stack's rate to the bare sender's are printed at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "rtp/DatagramBurst.h"
#include "rtp/FramedSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/TCPStreamSocket.h"

namespace {

constexpr unsigned kFramesPerIteration = 50;  // two seconds of video
constexpr unsigned kMaxPacket = 1456;

std::vector<std::vector<uint8_t>> makeStream() {
    std::vector<std::vector<uint8_t>> nals;
    for (unsigned i = 0; i < kFramesPerIteration; ++i) {
        size_t size = i == 0 ? 100000 : 18000;
        std::vector<uint8_t> nal(size);
        for (size_t j = 0; j < size; ++j) nal[j] = static_cast<uint8_t>(j * 13 + i);
        nal[0] = i == 0 ? 0x65 : 0x41;
        nals.push_back(std::move(nal));
    }
    return nals;
}

// The packets the sink makes of a NAL unit (FU-A beyond one packet).
std::vector<std::vector<uint8_t>> packetize(const std::vector<uint8_t>& nal, uint16_t& seq) {
    std::vector<std::vector<uint8_t>> packets;
    auto header = [&](bool marker) {
        std::vector<uint8_t> h{0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | 96),
                               static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 1, 2, 3, 4, 5, 6, 7, 8};
        ++seq;
        return h;
    };
    if (nal.size() <= kMaxPacket - 12) {
        std::vector<uint8_t> p = header(true);
        p.insert(p.end(), nal.begin(), nal.end());
        packets.push_back(std::move(p));
        return packets;
    }
    size_t room = kMaxPacket - 12 - 2;
    for (size_t offset = 1; offset < nal.size(); offset += room) {
        size_t chunk = std::min(room, nal.size() - offset);
        bool last = offset + chunk == nal.size();
        std::vector<uint8_t> p = header(last);
        p.push_back(static_cast<uint8_t>((nal[0] & 0xE0) | 28));
        p.push_back(static_cast<uint8_t>((offset == 1 ? 0x80 : 0) | (last ? 0x40 : 0) | (nal[0] & 0x1F)));
        p.insert(p.end(), nal.begin() + offset, nal.begin() + offset + chunk);
        packets.push_back(std::move(p));
    }
    return packets;
}

// Hands out the NAL units one per request through a zero-delay task, like the
// live sources that answer every request from the event loop. With a gate, a
// frame waits while the connection still has a backlog (the bare writer
// blocks in write instead), so that the reader sets the pace; the loop then
// sleeps in epoll until the socket is writable, and resume() goes on.
class CyclingSource : public FramedSource {
public:
    CyclingSource(UsageEnvironment& env, const std::vector<std::vector<uint8_t>>& nals,
                  TCPStreamSocket* gate)
        : FramedSource(env), fNals(nals), fGate(gate) {}
    uint64_t delivered = 0;
    bool waiting = false;
    void resume() {
        waiting = false;
        doGetNextFrame();
    }

private:
    void doGetNextFrame() override {
        nextTask() = envir().taskScheduler().scheduleDelayedTask(0, deliver, this);
    }
    static void deliver(void* clientData) {
        auto* self = static_cast<CyclingSource*>(clientData);
        self->nextTask() = nullptr;
        if (self->fGate != nullptr && self->fGate->backlogSize() > 0) {
            self->waiting = true;
            return;
        }
        const std::vector<uint8_t>& nal = self->fNals[self->delivered++ % self->fNals.size()];
        self->fFrameSize = static_cast<unsigned>(std::min<size_t>(nal.size(), self->fMaxSize));
        memcpy(self->fTo, nal.data(), self->fFrameSize);
        gettimeofday(&self->fPresentationTime, nullptr);
        FramedSource::afterGetting(self);
    }
    const std::vector<std::vector<uint8_t>>& fNals;
    TCPStreamSocket* fGate;
};

// Reads and discards whatever arrives until stopped.
class Drain {
public:
    explicit Drain(int fd) : fFd(fd), fThread([this] { run(); }) {}
    ~Drain() {
        fStop = true;
        fThread.join();
    }

private:
    void run() {
        std::vector<uint8_t> buffer(1 << 20);
        while (!fStop) {
            ssize_t n = recv(fFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) usleep(50);
        }
    }
    int fFd;
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

int udpReceiver(sockaddr_in& address) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return fd;
}

// A connected pair: AF_UNIX stream sockets, or a TCP connection over loopback.
// The sending end gets the 512 KiB send buffer of the RTSP connections.
bool connectedPair(bool tcp, int pair[2]) {
    if (!tcp) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
    } else {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            close(listener);
            return false;
        }
        pair[1] = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(pair[1], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(listener);
            return false;
        }
        pair[0] = accept(listener, nullptr, nullptr);
        close(listener);
        if (pair[0] < 0) return false;
    }
    int size = 524288;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return true;
}

struct StreamTotals {
    size_t packets = 0;
    size_t bytes = 0;  // RTP packets (UDP) or framed bytes (TCP) per iteration
};

StreamTotals totalsOf(const std::vector<std::vector<uint8_t>>& nals, bool framed) {
    StreamTotals totals;
    uint16_t seq = 0;
    for (const auto& nal : nals) {
        for (const auto& p : packetize(nal, seq)) {
            ++totals.packets;
            totals.bytes += p.size() + (framed ? 4 : 0);
        }
    }
    return totals;
}

void setRates(benchmark::State& state, const StreamTotals& totals) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * totals.packets));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totals.bytes));
}

// The stack: framer and H.264 sink fed by the event loop.
void runStack(benchmark::State& state, bool overTCP, bool tcpLoopback = false) {
    static const std::vector<std::vector<uint8_t>> nals = makeStream();
    BasicTaskScheduler* scheduler = BasicTaskScheduler::createNew();
    BasicUsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    Groupsock* gs = Groupsock::createNew(*env, 0);
    sockaddr_in address;
    int receiver = -1;
    int pair[2] = {-1, -1};
    TCPStreamSocket* tcp = nullptr;
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
    if (overTCP) {
        if (!connectedPair(tcpLoopback, pair)) state.SkipWithError("no connected pair");
        tcp = TCPStreamSocket::createNew(*env, pair[0]);
        sink->addStreamSocket(pair[0], 0);
    } else {
        receiver = udpReceiver(address);
        gs->addDestination(address.sin_addr.s_addr, ntohs(address.sin_port), 1);
    }
    {
        Drain drain(overTCP ? pair[1] : receiver);
        auto* source = new CyclingSource(*env, nals, tcp);
        FramedSource* framer = H264VideoStreamDiscreteFramer::createNew(*env, source);
        sink->startPlaying(*framer, nullptr, nullptr);
        for (auto _ : state) {
            uint64_t target = source->delivered + kFramesPerIteration;
            while (source->delivered < target) {
                scheduler->SingleStep();
                if (source->waiting && tcp->backlogSize() == 0) source->resume();
            }
        }
        // Whatever is still queued for the reader counts too.
        while (tcp != nullptr && tcp->backlogSize() > 0) scheduler->SingleStep();
        if (tcp != nullptr && tcp->failed()) state.SkipWithError("TCP destination failed");
        Medium::close(sink);
        Medium::close(framer);
    }
    setRates(state, totalsOf(nals, overTCP));
    delete tcp;
    Medium::close(gs);
    if (receiver >= 0) close(receiver);
    if (pair[0] >= 0) close(pair[0]);
    if (pair[1] >= 0) close(pair[1]);
    env->reclaim();
    delete scheduler;
}

void BM_StackUdp(benchmark::State& state) {
    DatagramBurst::setGSOAllowed(state.range(0) != 0);
    runStack(state, false);
    DatagramBurst::setGSOAllowed(true);
}

void BM_StackTcp(benchmark::State& state) { runStack(state, true, state.range(0) != 0); }

// Bare UDP: per frame, one sendmmsg of its prebuilt packets.
void BM_BareUdp(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> nals = makeStream();
    std::vector<std::vector<std::vector<uint8_t>>> frames;
    uint16_t seq = 0;
    for (const auto& nal : nals) frames.push_back(packetize(nal, seq));
    sockaddr_in address;
    int receiver = udpReceiver(address);
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 20 << 20;
    setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    std::vector<std::vector<iovec>> iovs(frames.size());
    std::vector<std::vector<mmsghdr>> messages(frames.size());
    for (size_t f = 0; f < frames.size(); ++f) {
        for (auto& p : frames[f]) iovs[f].push_back({p.data(), p.size()});
        for (auto& iov : iovs[f]) {
            mmsghdr m{};
            m.msg_hdr.msg_name = &address;
            m.msg_hdr.msg_namelen = sizeof address;
            m.msg_hdr.msg_iov = &iov;
            m.msg_hdr.msg_iovlen = 1;
            messages[f].push_back(m);
        }
    }
    {
        Drain drain(receiver);
        for (auto _ : state) {
            for (auto& m : messages) {
                unsigned sent = 0;
                while (sent < m.size()) {
                    int n = sendmmsg(sender, m.data() + sent, static_cast<unsigned>(m.size() - sent), 0);
                    if (n <= 0) break;
                    sent += static_cast<unsigned>(n);
                }
            }
        }
    }
    setRates(state, totalsOf(nals, false));
    close(sender);
    close(receiver);
}

// The framed bytes of one frame in the writes the batching makes on channel 0:
// a flush at 8 packets or at a packet shorter than 1456 bytes, and at the end
// of the frame's burst; a flush writes the first buffer (at most six
// packets), then the second.
std::vector<std::vector<uint8_t>> batchedWrites(const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<std::vector<uint8_t>> writes;
    std::vector<uint8_t> first, second;
    unsigned count = 0;
    auto flush = [&] {
        if (!first.empty()) writes.push_back(first);
        if (!second.empty()) writes.push_back(second);
        first.clear();
        second.clear();
        count = 0;
    };
    for (const auto& p : packets) {
        uint8_t header[4] = {'$', 0, static_cast<uint8_t>(p.size() >> 8), static_cast<uint8_t>(p.size())};
        std::vector<uint8_t>& target = (second.empty() && first.size() + p.size() + 4 <= 8760) ? first : second;
        target.insert(target.end(), header, header + 4);
        target.insert(target.end(), p.begin(), p.end());
        if (++count >= 8 || p.size() < kMaxPacket) flush();
    }
    flush();
    return writes;
}

// Bare TCP: prebuilt framed bytes, one write per frame (arg 0/1) or the
// batching's writes (arg 2/3); even args on an AF_UNIX pair, odd on TCP.
void BM_BareTcp(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> nals = makeStream();
    std::vector<std::vector<uint8_t>> frames;  // one entry per write
    uint16_t seq = 0;
    bool batched = state.range(0) >= 2;
    for (const auto& nal : nals) {
        std::vector<std::vector<uint8_t>> writes = batchedWrites(packetize(nal, seq));
        if (batched) {
            frames.insert(frames.end(), writes.begin(), writes.end());
            continue;
        }
        std::vector<uint8_t> bytes;
        for (const auto& w : writes) bytes.insert(bytes.end(), w.begin(), w.end());
        frames.push_back(std::move(bytes));
    }
    int pair[2];
    if (!connectedPair(state.range(0) % 2 != 0, pair)) {
        state.SkipWithError("no connected pair");
        return;
    }
    {
        Drain drain(pair[1]);
        for (auto _ : state) {
            for (const auto& bytes : frames) {
                size_t done = 0;
                while (done < bytes.size()) {
                    ssize_t n = write(pair[0], bytes.data() + done, bytes.size() - done);
                    if (n <= 0) break;
                    done += static_cast<size_t>(n);
                }
            }
        }
    }
    setRates(state, totalsOf(nals, true));
    close(pair[0]);
    close(pair[1]);
}

BENCHMARK(BM_BareUdp)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StackUdp)->Arg(1)->Arg(0)->UseRealTime()->MinTime(2.0);
// Arg: 0 AF_UNIX stream pair, 1 TCP over loopback.
BENCHMARK(BM_BareTcp)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StackTcp)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// Prints the runs as usual and then the stack-to-bare ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            auto items = run.counters.find("items_per_second");
            auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end()) fPacketRate[run.benchmark_name()] = items->second.value;
            if (bytes != run.counters.end()) fByteRate[run.benchmark_name()] = bytes->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printRatio("UDP packet rate, stack with GSO / bare sendmmsg", fPacketRate, "BM_StackUdp/1/",
                   "BM_BareUdp/");
        printRatio("UDP packet rate, stack with sendmmsg only / bare sendmmsg", fPacketRate, "BM_StackUdp/0/",
                   "BM_BareUdp/");
        printRatio("AF_UNIX pair byte rate, stack / bare one write per frame", fByteRate, "BM_StackTcp/0/",
                   "BM_BareTcp/0/");
        printRatio("AF_UNIX pair byte rate, stack / bare writes of the same batches", fByteRate,
                   "BM_StackTcp/0/", "BM_BareTcp/2/");
        printRatio("TCP loopback byte rate, stack / bare one write per frame", fByteRate, "BM_StackTcp/1/",
                   "BM_BareTcp/1/");
        printRatio("TCP loopback byte rate, stack / bare writes of the same batches", fByteRate,
                   "BM_StackTcp/1/", "BM_BareTcp/3/");
    }

private:
    // The rate of the run whose name starts with `prefix`, or -1.
    static double rateOf(const std::map<std::string, double>& rates, const std::string& prefix) {
        for (const auto& entry : rates) {
            if (entry.first.rfind(prefix, 0) == 0) return entry.second;
        }
        return -1;
    }
    void printRatio(const char* what, const std::map<std::string, double>& rates,
                    const std::string& stack, const std::string& bare) {
        double stackRate = rateOf(rates, stack), bareRate = rateOf(rates, bare);
        char line[160];
        if (stackRate < 0 || bareRate <= 0) {
            snprintf(line, sizeof line, "%s: not measured\n", what);
        } else {
            snprintf(line, sizeof line, "%s: %.2f\n", what, stackRate / bareRate);
        }
        GetOutputStream() << line;  // the reporter's stream, to keep the order
    }
    std::map<std::string, double> fPacketRate, fByteRate;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
