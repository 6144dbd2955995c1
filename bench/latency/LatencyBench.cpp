// Latency from Nerivo_PushFrame to the arrival of the frame's last packet
// (the one with the marker bit) at a UDP client on loopback: many channels at
// a camera's frame rate and bitrate, one client each. The same schedule is
// then sent by a bare sender (FU-A packets with sendmmsg from the pushing
// thread) to the same sockets, as the floor of this machine.
//
// Times: CLOCK_REALTIME just before the push call, and the kernel's receive
// time stamp of the marker packet (SO_TIMESTAMPNS, same clock).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Nerivo.h"
#include "UdpRtspClient.h"

namespace {

struct Options {
    int channels = 64;
    int fps = 25;
    int seconds = 10;
    int gop = 50;
    unsigned keyBytes = 100000;
    unsigned frameBytes = 18000;
    bool bare = true;
    // Seconds not counted at the start: by default one lap of the 3 MiB
    // video queues, whose fresh pages fault when first written.
    int warmup = -1;
};

constexpr double kVideoQueueBytes = 0x300000;

int64_t realtimeNs() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int64_t monotonicNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleepUntilMonotonic(int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// ---- the frames: an H.264 slice whose last 8 bytes name channel and frame ----

constexpr size_t kTagBytes = 8;

void putTag(uint8_t* end, uint32_t channel, uint32_t frame) {
    memcpy(end - kTagBytes, &channel, 4);
    memcpy(end - 4, &frame, 4);
}

bool readTag(const uint8_t* end, size_t available, uint32_t& channel, uint32_t& frame) {
    if (available < kTagBytes) return false;
    memcpy(&channel, end - kTagBytes, 4);
    memcpy(&frame, end - 4, 4);
    return true;
}

struct Frames {
    explicit Frames(const Options& o) : key(o.keyBytes, 0x5A), other(o.frameBytes, 0x3C) {
        key[0] = 0x65;    // IDR slice
        other[0] = 0x41;  // non-IDR slice
    }
    std::vector<uint8_t> key, other;
};

// ---- what the receiver measured ----

struct Sample {
    int64_t latencyNs;  // push to the marker packet
    int64_t firstNs;    // push to the frame's first packet
    uint32_t frame;
    bool key;
};

class PushTimes {
public:
    PushTimes(int channels, int frames)
        : fChannels(channels),
          fFrames(frames),
          fTimes(new std::atomic<int64_t>[channels * frames]),
          fCalls(new int64_t[channels * frames]()) {
        for (int i = 0; i < channels * frames; ++i) fTimes[i].store(0);
    }
    // When the push call began (CLOCK_REALTIME); read by the receiver.
    std::atomic<int64_t>& at(uint32_t channel, uint32_t frame) { return fTimes[channel * fFrames + frame]; }
    // How long the call took; read after the run.
    int64_t& call(uint32_t channel, uint32_t frame) { return fCalls[channel * fFrames + frame]; }
    int frames() const { return fFrames; }
    int channels() const { return fChannels; }

private:
    int fChannels;
    int fFrames;
    std::unique_ptr<std::atomic<int64_t>[]> fTimes;
    std::unique_ptr<int64_t[]> fCalls;
};

// Reads every RTP socket; each marker packet closes its frame.
class Receiver {
public:
    Receiver(const std::vector<int>& sockets, PushTimes& times, const Options& o)
        : fSockets(sockets), fTimes(times), fOptions(o), fNextSeq(sockets.size(), -1), fFirst(sockets.size(), -1) {}

    void start() { fThread = std::thread([this] { run(); }); }
    void stop() {
        fStop.store(true);
        fThread.join();
    }
    std::vector<Sample>& samples() { return fSamples; }
    long lostPackets() const { return fLost; }
    long packets() const { return fPackets; }

private:
    void run();
    void drain(size_t index);
    void take(size_t index, const uint8_t* packet, size_t size, int64_t arrivalNs);

    std::vector<int> fSockets;
    PushTimes& fTimes;
    const Options& fOptions;
    std::vector<int> fNextSeq;
    std::vector<int64_t> fFirst;  // arrival of the first packet of the frame under way
    std::vector<Sample> fSamples;
    long fLost = 0;
    long fPackets = 0;
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

void Receiver::run() {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < fSockets.size(); ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, fSockets[i], &event);
    }
    epoll_event ready[64];
    while (!fStop.load()) {
        int n = epoll_wait(epoll, ready, 64, 50);
        for (int i = 0; i < n; ++i) drain(ready[i].data.u64);
    }
    for (size_t i = 0; i < fSockets.size(); ++i) drain(i);
    close(epoll);
}

void Receiver::drain(size_t index) {
    constexpr int kBatch = 64;
    static uint8_t buffers[kBatch][2048];
    static char controls[kBatch][CMSG_SPACE(sizeof(timespec))];
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    for (;;) {
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {buffers[i], sizeof buffers[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        int n = recvmmsg(fSockets[index], messages, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i) {
            int64_t arrival = realtimeNs();
            for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t;
                    memcpy(&t, CMSG_DATA(c), sizeof t);
                    arrival = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
                }
            }
            take(index, buffers[i], messages[i].msg_len, arrival);
        }
    }
}

void Receiver::take(size_t index, const uint8_t* packet, size_t size, int64_t arrivalNs) {
    if (size < 12 || (packet[0] >> 6) != 2) return;
    ++fPackets;
    int seq = (packet[2] << 8) | packet[3];
    if (fNextSeq[index] >= 0 && seq != fNextSeq[index]) fLost += (seq - fNextSeq[index] + 65536) % 65536;
    fNextSeq[index] = (seq + 1) % 65536;
    // A frame's packets arrive in order: the one after a marker starts the next frame.
    if (fFirst[index] < 0) fFirst[index] = arrivalNs;
    if ((packet[1] & 0x80) == 0) return;
    int64_t first = fFirst[index];
    fFirst[index] = -1;
    uint32_t channel, frame;
    if (!readTag(packet + size, size - 12, channel, frame)) return;
    if (channel >= fSockets.size() || frame >= static_cast<uint32_t>(fTimes.frames())) return;
    int64_t pushed = fTimes.at(channel, frame).load(std::memory_order_acquire);
    if (pushed == 0) return;
    fSamples.push_back({arrivalNs - pushed, first - pushed, frame, frame % static_cast<uint32_t>(fOptions.gop) == 0});
}

// ---- the two senders ----

// Pushes every channel's frames on the schedule: channel i of frame k at
// k/fps plus i/(channels*fps), so that the pushes spread over the interval.
template <typename Send>
void runSchedule(const Options& o, Frames& frames, PushTimes& times, Send send) {
    int64_t start = monotonicNs() + 100000000;
    int64_t interval = 1000000000 / o.fps;
    for (int k = 0; k < times.frames(); ++k) {
        for (int ch = 0; ch < o.channels; ++ch) {
            sleepUntilMonotonic(start + k * interval + ch * interval / o.channels);
            bool key = k % o.gop == 0;
            std::vector<uint8_t>& data = key ? frames.key : frames.other;
            putTag(data.data() + data.size(), static_cast<uint32_t>(ch), static_cast<uint32_t>(k));
            int64_t begin = realtimeNs();
            times.at(static_cast<uint32_t>(ch), static_cast<uint32_t>(k)).store(begin, std::memory_order_release);
            send(ch, k, data);
            times.call(static_cast<uint32_t>(ch), static_cast<uint32_t>(k)) = realtimeNs() - begin;
        }
    }
}

// FU-A packets of 1456 bytes, one sendmmsg per frame, as the library's sink
// would send them.
class BareSender {
public:
    BareSender(const std::vector<uint16_t>& ports) {
        for (uint16_t port : ports) {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int size = 16 * 1024 * 1024;
            setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
            fSockets.push_back(s);
            fSeq.push_back(0);
        }
    }
    ~BareSender() {
        for (int s : fSockets) close(s);
    }

    void send(int channel, int frame, const std::vector<uint8_t>& nal) {
        constexpr size_t kPayload = 1456 - 12 - 2;
        size_t count = 0;
        for (size_t offset = 1; offset < nal.size(); offset += kPayload, ++count) {
            size_t chunk = std::min(kPayload, nal.size() - offset);
            bool first = offset == 1, last = offset + chunk == nal.size();
            uint8_t* h = fHeaders[count];
            uint16_t seq = fSeq[channel]++;
            uint32_t ts = static_cast<uint32_t>(frame) * 3600;
            h[0] = 0x80;
            h[1] = static_cast<uint8_t>((last ? 0x80 : 0) | 96);
            h[2] = static_cast<uint8_t>(seq >> 8);
            h[3] = static_cast<uint8_t>(seq);
            for (int b = 0; b < 4; ++b) h[4 + b] = static_cast<uint8_t>(ts >> (24 - 8 * b));
            memset(h + 8, 0x11, 4);
            h[12] = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
            h[13] = static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | (nal[0] & 0x1F));
            fVectors[count][0] = {h, 14};
            fVectors[count][1] = {const_cast<uint8_t*>(nal.data() + offset), chunk};
            fMessages[count] = {};
            fMessages[count].msg_hdr.msg_iov = fVectors[count];
            fMessages[count].msg_hdr.msg_iovlen = 2;
        }
        for (size_t sent = 0; sent < count;) {
            int n = sendmmsg(fSockets[channel], fMessages + sent, static_cast<unsigned>(count - sent), 0);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    }

private:
    static constexpr size_t kMaxPackets = 1024;
    std::vector<int> fSockets;
    std::vector<uint16_t> fSeq;
    uint8_t fHeaders[kMaxPackets][14];
    iovec fVectors[kMaxPackets][2];
    mmsghdr fMessages[kMaxPackets];
};

void discardPending(int socket) {
    uint8_t buffer[2048];
    while (recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
    }
}

// ---- the host ----

MEDIA_DESC_T hostDescription() {
    static const uint8_t sps[] = {0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8};
    static const uint8_t pps[] = {0x68, 0xCE, 0x38, 0x80};
    MEDIA_DESC_T d;
    memset(&d, 0, sizeof d);
    d.video_codec = NERIVO_CODEC_H264;
    d.sps_length = sizeof sps;
    memcpy(d.sps, sps, sizeof sps);
    d.pps_length = sizeof pps;
    memcpy(d.pps, pps, sizeof pps);
    return d;
}

int hostCallback(int, int event, MEDIA_DESC_T* desc, void*) {
    if (event == CHANNEL_EVT_DESCRIBE) *desc = hostDescription();
    return 0;
}

// ---- report ----

struct Summary {
    size_t frames = 0;
    double median = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
};

double percentileMs(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return static_cast<double>(sorted[index]) / 1e6;
}

// keyFilter: -1 all frames, 1 key frames, 0 the others; frames [from, to).
Summary summarize(const std::vector<Sample>& samples, uint32_t from, uint32_t to, int keyFilter) {
    std::vector<int64_t> values;
    for (const Sample& s : samples)
        if (s.frame >= from && s.frame < to && (keyFilter < 0 || s.key == (keyFilter == 1)))
            values.push_back(s.latencyNs);
    std::sort(values.begin(), values.end());
    Summary r;
    r.frames = values.size();
    r.median = percentileMs(values, 0.5);
    r.p90 = percentileMs(values, 0.9);
    r.p99 = percentileMs(values, 0.99);
    r.p999 = percentileMs(values, 0.999);
    r.max = values.empty() ? 0 : static_cast<double>(values.back()) / 1e6;
    return r;
}

void printRow(const char* name, const Summary& s, long expected, long lost) {
    printf("%-22s %7zu %7ld %6ld %8.3f %8.3f %8.3f %8.3f %8.3f\n", name, s.frames, expected, lost, s.median, s.p90,
           s.p99, s.p999, s.max);
}

struct PhaseResult {
    std::vector<Sample> samples;
    std::vector<int64_t> callNs;  // push call durations of every frame
    long lost = 0;
};

PhaseResult measure(const Options& o, const std::vector<int>& sockets, PushTimes& times,
                    const std::function<void(int, int, const std::vector<uint8_t>&)>& send) {
    Frames frames(o);
    Receiver receiver(sockets, times, o);
    receiver.start();
    runSchedule(o, frames, times, send);
    usleep(500 * 1000);  // the last frames' packets
    receiver.stop();
    PhaseResult r;
    r.samples = std::move(receiver.samples());
    for (int ch = 0; ch < times.channels(); ++ch)
        for (int k = 0; k < times.frames(); ++k)
            r.callNs.push_back(times.call(static_cast<uint32_t>(ch), static_cast<uint32_t>(k)));
    r.lost = receiver.lostPackets();
    return r;
}

std::pair<double, double> medianAndP99(std::vector<int64_t> values) {
    std::sort(values.begin(), values.end());
    return {percentileMs(values, 0.5), percentileMs(values, 0.99)};
}

// The latency in parts: the push call, push to the first packet (queue,
// poll, read, first packet out), first to marker packet (the rest of the
// frame's packets).
void printParts(const char* name, const PhaseResult& r, const Options& o, int from, int to) {
    std::vector<int64_t> calls, first, rest;
    for (int ch = 0; ch < o.channels; ++ch)
        for (int k = from; k < to; ++k) calls.push_back(r.callNs[static_cast<size_t>(ch) * (r.callNs.size() / o.channels) + k]);
    for (const Sample& s : r.samples) {
        if (s.frame < static_cast<uint32_t>(from) || s.frame >= static_cast<uint32_t>(to)) continue;
        first.push_back(s.firstNs);
        rest.push_back(s.latencyNs - s.firstNs);
    }
    auto c = medianAndP99(calls), f = medianAndP99(first), m = medianAndP99(rest);
    printf("%-22s push call %.3f / %.3f   push->first packet %.3f / %.3f   first->marker %.3f / %.3f\n", name,
           c.first, c.second, f.first, f.second, m.first, m.second);
}

// Frames of a range, all and key frames, over all channels.
struct Expected {
    long all = 0, key = 0;
};

Expected expectedFrames(const Options& o, int from, int to) {
    Expected e;
    for (int k = from; k < to; ++k) e.key += k % o.gop == 0;
    e.all = static_cast<long>(to - from) * o.channels;
    e.key *= o.channels;
    return e;
}

void printPhase(const char* name, const PhaseResult& r, const Options& o, int from, int to, bool detail) {
    Expected e = expectedFrames(o, from, to);
    uint32_t f = static_cast<uint32_t>(from), t = static_cast<uint32_t>(to);
    printRow(name, summarize(r.samples, f, t, -1), e.all, r.lost);
    if (!detail) return;
    printRow("  key frames", summarize(r.samples, f, t, 1), e.key, 0);
    printRow("  other frames", summarize(r.samples, f, t, 0), e.all - e.key, 0);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        int value = atoi(argv[i + 1]);
        if (name == "--channels") o.channels = std::max(1, std::min(value, 1024));
        else if (name == "--seconds") o.seconds = std::max(2, value);
        else if (name == "--fps") o.fps = std::max(1, value);
        else if (name == "--gop") o.gop = std::max(1, value);
        else if (name == "--key-bytes") o.keyBytes = static_cast<unsigned>(std::max(64, value));
        else if (name == "--frame-bytes") o.frameBytes = static_cast<unsigned>(std::max(64, value));
        else if (name == "--bare") o.bare = value != 0;
        else if (name == "--warmup") o.warmup = std::max(0, value);
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseOptions(argc, argv);
    std::vector<CHANNEL_INFO_T> channels(static_cast<size_t>(o.channels));
    for (int i = 0; i < o.channels; ++i) {
        channels[i].channel_id = i;
        snprintf(channels[i].stream_name, sizeof channels[i].stream_name, "ch%d", i);
    }
    uint16_t port = static_cast<uint16_t>(20000 + getpid() % 10000);
    if (Nerivo_Startup(port, 0, nullptr, nullptr, nullptr, hostCallback, nullptr, channels.data(),
                       static_cast<unsigned>(o.channels)) != 0) {
        fprintf(stderr, "Nerivo_Startup failed on port %u\n", port);
        return 1;
    }
    std::vector<std::unique_ptr<UdpRtspClient>> clients;
    std::vector<int> sockets;
    std::vector<uint16_t> ports;
    for (int i = 0; i < o.channels; ++i) {
        clients.emplace_back(new UdpRtspClient());
        if (!clients.back()->start(port, channels[i].stream_name)) {
            fprintf(stderr, "client %d: %s\n", i, clients.back()->error().c_str());
            return 1;
        }
        sockets.push_back(clients.back()->rtpSocket());
        ports.push_back(clients.back()->rtpPort());
    }
    const double bytesPerSecond = (o.keyBytes + static_cast<double>(o.frameBytes) * (o.gop - 1)) / o.gop * o.fps;
    const double mbits = bytesPerSecond * 8 / 1e6;
    if (o.warmup < 0) o.warmup = static_cast<int>(kVideoQueueBytes / bytesPerSecond) + 2;
    const int warmupFrames = o.fps * o.warmup;
    const int frames = o.fps * (o.warmup + o.seconds);

    PushTimes libraryTimes(o.channels, frames);
    PhaseResult library = measure(o, sockets, libraryTimes, [](int ch, int, const std::vector<uint8_t>& data) {
        PUSH_FRAME_T f{};
        f.media_type = NERIVO_MEDIA_VIDEO;
        f.length = static_cast<uint32_t>(data.size());
        f.frame_type = data[0] == 0x65 ? NERIVO_FRAME_KEY : 0;
        f.data = data.data();
        Nerivo_PushFrame(ch, &f);
    });
    for (auto& client : clients) client->teardown();
    Nerivo_Shutdown();

    PhaseResult bare;
    if (o.bare) {
        // The same sockets, now fed straight from the pushing thread.
        for (int s : sockets) discardPending(s);
        PushTimes bareTimes(o.channels, frames);
        BareSender sender(ports);
        bare = measure(o, sockets, bareTimes,
                       [&sender](int ch, int k, const std::vector<uint8_t>& data) { sender.send(ch, k, data); });
    }

    printf("Latency from Nerivo_PushFrame to the arrival of the frame's marker packet (kernel receive time), in ms\n");
    printf("%d channels x %d fps, key frame %u B every %d, others %u B: %.2f Mbit/s per channel, %.0f Mbit/s in all\n",
           o.channels, o.fps, o.keyBytes, o.gop, o.frameBytes, mbits, mbits * o.channels);
    printf("%d s counted after a warm-up of %d s (the first second, then the queues' first lap)\n", o.seconds,
           o.warmup);
    printf("%-22s %7s %7s %6s %8s %8s %8s %8s %8s\n", "sender", "frames", "pushed", "lost", "median", "p90", "p99",
           "p99.9", "max");
    printPhase("libNerivo", library, o, warmupFrames, frames, true);
    if (warmupFrames > o.fps) printPhase("  (first lap)", library, o, o.fps, warmupFrames, false);
    if (o.bare) printPhase("bare sendmmsg", bare, o, warmupFrames, frames, true);
    printf("where the time goes (median / p99, ms):\n");
    printParts("  libNerivo", library, o, warmupFrames, frames);
    if (warmupFrames > o.fps) printParts("    (first lap)", library, o, o.fps, warmupFrames);
    if (o.bare) printParts("  bare sendmmsg", bare, o, warmupFrames, frames);
    Summary lib = summarize(library.samples, static_cast<uint32_t>(warmupFrames), static_cast<uint32_t>(frames), -1);
    if (o.bare) {
        Summary floor = summarize(bare.samples, static_cast<uint32_t>(warmupFrames), static_cast<uint32_t>(frames), -1);
        if (floor.median > 0 && floor.p99 > 0)
            printf("libNerivo / bare: median x%.1f, p99 x%.1f\n", lib.median / floor.median, lib.p99 / floor.p99);
    }
    bool met = lib.frames > 0 && lib.median <= 2.0 && lib.p99 <= 5.0;
    printf("goal (median <= 2 ms, p99 <= 5 ms): %s\n", met ? "met" : "MISSED");
    return 0;
}
