// The host side of the soak run: the library with 64 channels and Digest
// accounts, H.264 frames pushed at 25 fps into every channel a client reads
// (from CHANNEL_EVT_PLAY to CHANNEL_EVT_STOP, as a host does), a channel
// reset every few seconds and account changes. Prints "port <n>" once
// serving, runs until its standard input closes or SIGTERM, then shuts down
// and prints what it did.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "Nerivo.h"
#include "ReliabilitySupport.h"
#include "TestHost.h"

namespace {

constexpr int kChannels = 64;
constexpr int kFps = 25;
// 200 kB/s per watched channel: its 3 MiB video queue has been written
// through within the warm-up, so RSS settles.
constexpr size_t kFrameSize = 8000;

std::atomic<bool> gStop{false};
std::atomic<bool> gWanted[kChannels];
std::atomic<uint64_t> gEvents[4];

int callback(int channelId, int event, MEDIA_DESC_T* desc, void*) {
    if (channelId < 0 || channelId >= kChannels || event < 1 || event > 3) return -1;
    gEvents[event].fetch_add(1);
    if (event == CHANNEL_EVT_DESCRIBE) *desc = TestHost::h264Description();
    if (event == CHANNEL_EVT_PLAY) gWanted[channelId].store(true);
    if (event == CHANNEL_EVT_STOP) gWanted[channelId].store(false);
    return 0;
}

void onSignal(int) { gStop.store(true); }

// Pushes into every wanted channel of [first, last) at the frame rate.
void pushChannels(int first, int last, std::atomic<uint64_t>* refused) {
    auto next = std::chrono::steady_clock::now();
    for (uint32_t serial = 0; !gStop.load(); ++serial) {
        for (int channel = first; channel < last; ++channel) {
            if (!gWanted[channel].load()) continue;
            bool key = serial % kFps == 0;
            std::vector<uint8_t> nal = makeVideoFrame(serial, kFrameSize, key, steadyNowNs());
            PUSH_FRAME_T frame{};
            frame.media_type = NERIVO_MEDIA_VIDEO;
            frame.length = static_cast<uint32_t>(nal.size());
            frame.frame_type = key ? NERIVO_FRAME_KEY : 0;
            frame.data = nal.data();
            if (Nerivo_PushFrame(channel, &frame) != 0) refused->fetch_add(1);
        }
        next += std::chrono::microseconds(1000000 / kFps);
        std::this_thread::sleep_until(next);
    }
}

// Resets a random channel every few seconds and adds and removes accounts.
void disturb(std::atomic<uint64_t>* resets, std::atomic<uint64_t>* accountChanges) {
    std::mt19937 random(12345);
    for (int tick = 0; !gStop.load(); ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (tick % 6 == 0 && Nerivo_ResetChannel(static_cast<int>(random() % kChannels)) == 0) resets->fetch_add(1);
        std::string name = "guest" + std::to_string(random() % 20);
        int result = tick % 2 == 0 ? Nerivo_AddUser(name.c_str(), "guest") : Nerivo_DelUser(name.c_str());
        if (result == 0) accountChanges->fetch_add(1);
        // The soak clients' account changes its password back and forth.
        if (tick % 20 == 0) Nerivo_AddUser("soak", "soak");
    }
}

// Every 5 s: "heap <seconds> <kB>", the bytes malloc has handed out and not
// taken back (all arenas, mmapped blocks included). Unlike RSS it does not
// move with the pages a queue has touched so far or with fragmentation.
void reportHeap() {
    auto start = std::chrono::steady_clock::now();
    while (!gStop.load()) {
        struct mallinfo2 info = mallinfo2();
        long seconds = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
        printf("heap %ld %zu\n", seconds, (info.uordblks + info.hblkhd) / 1024);
        fflush(stdout);
        for (int i = 0; i < 50 && !gStop.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void waitForStdinEnd() {
    char buffer[64];
    while (!gStop.load() && read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    gStop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    uint16_t port = argc > 1 ? static_cast<uint16_t>(atoi(argv[1])) : freeTcpPort();
    std::vector<CHANNEL_INFO_T> channels(kChannels);
    for (int i = 0; i < kChannels; ++i) {
        channels[i].channel_id = i;
        snprintf(channels[i].stream_name, sizeof channels[i].stream_name, "ch%d", i);
    }
    int started = Nerivo_Startup(port, 1, "soak", "soak", "soak", callback, nullptr, channels.data(), kChannels);
    if (started != 0) {
        fprintf(stderr, "Nerivo_Startup: %d\n", started);
        return 1;
    }
    printf("port %u\n", port);
    fflush(stdout);

    std::atomic<uint64_t> refused{0}, resets{0}, accountChanges{0};
    std::vector<std::thread> threads;
    for (int part = 0; part < 4; ++part)
        threads.emplace_back(pushChannels, part * kChannels / 4, (part + 1) * kChannels / 4, &refused);
    threads.emplace_back(disturb, &resets, &accountChanges);
    threads.emplace_back(reportHeap);
    std::thread stdinWatch([] { waitForStdinEnd(); });
    stdinWatch.detach();
    while (!gStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (std::thread& thread : threads) thread.join();
    int shutdown = Nerivo_Shutdown();
    printf("soak server: shutdown %d, describe %llu, play %llu, stop %llu, resets %llu, account changes %llu, "
           "refused pushes %llu\n",
           shutdown, static_cast<unsigned long long>(gEvents[1].load()),
           static_cast<unsigned long long>(gEvents[2].load()), static_cast<unsigned long long>(gEvents[3].load()),
           static_cast<unsigned long long>(resets.load()), static_cast<unsigned long long>(accountChanges.load()),
           static_cast<unsigned long long>(refused.load()));
    return shutdown == 0 ? 0 : 1;
}
