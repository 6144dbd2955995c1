// The client side of the soak run: 200 clients that join random channels
// over TCP or UDP with Digest credentials, watch for a random while with
// keep-alives, and leave by TEARDOWN, close or reset, again and again.
// Usage: soak_clients PORT SECONDS [CLIENTS]. Prints a summary; exits 1 when
// a client failed in a way the run does not explain (a reset channel, the
// account table being changed).
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ReliabilitySupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kChannels = 64;

struct Totals {
    std::atomic<uint64_t> sessions{0}, frames{0}, stalls{0}, teardowns{0}, closes{0}, resets{0};
    std::mutex mutex;
    std::map<std::string, uint64_t> failures;  // first line of the failing answer

    void fail(const std::string& failure) {
        std::string line = failure.substr(0, failure.find('\r'));
        std::lock_guard<std::mutex> lock(mutex);
        ++failures[line];
    }
};

void leave(StreamClient& client, int how, Totals& totals) {
    int fd = client.rtsp().socket();
    if (how < 6) {
        std::string teardown = "TEARDOWN " + client.controlUrl() + " RTSP/1.0\r\nCSeq: 99\r\nSession: " +
                               client.rtsp().sessionId() + "\r\n\r\n";
        send(fd, teardown.data(), teardown.size(), MSG_NOSIGNAL);
        totals.teardowns.fetch_add(1);
    } else if (how < 8) {
        totals.closes.fetch_add(1);
    } else {
        linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        totals.resets.fetch_add(1);
    }
}

// One client slot: sessions one after another until the end.
void runClient(uint16_t port, Clock::time_point end, unsigned seed, Totals& totals) {
    std::mt19937 random(seed);
    while (Clock::now() < end) {
        int channel = static_cast<int>(random() % kChannels);
        Transport transport = random() % 2 == 0 ? Transport::Tcp : Transport::Udp;
        std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/ch" + std::to_string(channel);
        StreamClient client(port, url, transport);
        client.useDigest("soak", "soak");
        if (!client.start()) {
            totals.fail(client.failure());
            std::this_thread::sleep_for(milliseconds(200));
            continue;
        }
        totals.sessions.fetch_add(1);
        auto watchEnd = Clock::now() + milliseconds(2000 + random() % 18000);
        auto lastFrame = Clock::now();
        size_t frames = 0;
        int tick = 0;
        while (Clock::now() < watchEnd && Clock::now() < end && !client.closedByServer()) {
            client.receiveFor(200);
            if (client.frames() != frames) {
                frames = client.frames();
                lastFrame = Clock::now();
            }
            // A reset of the channel ends the session: no more frames.
            if (Clock::now() - lastFrame > milliseconds(3000)) {
                totals.stalls.fetch_add(1);
                break;
            }
            if (++tick % 10 == 0) {
                client.keepAlive();
                client.sendReceiverReport();
            }
        }
        totals.frames.fetch_add(frames);
        leave(client, static_cast<int>(random() % 10), totals);
        std::this_thread::sleep_for(milliseconds(random() % 1000));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s PORT SECONDS [CLIENTS]\n", argv[0]);
        return 2;
    }
    uint16_t port = static_cast<uint16_t>(atoi(argv[1]));
    int seconds = atoi(argv[2]);
    int clients = argc > 3 ? atoi(argv[3]) : 200;
    raiseDescriptorLimit(static_cast<size_t>(clients) * 4 + 256);
    Totals totals;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(runClient, port, end, 1000u + static_cast<unsigned>(i), std::ref(totals));
        std::this_thread::sleep_for(milliseconds(10));
    }
    for (std::thread& thread : threads) thread.join();
    printf("soak clients: %llu sessions, %llu frames, %llu ended by a reset, leaving by TEARDOWN %llu, "
           "close %llu, reset %llu\n",
           static_cast<unsigned long long>(totals.sessions.load()), static_cast<unsigned long long>(totals.frames.load()),
           static_cast<unsigned long long>(totals.stalls.load()), static_cast<unsigned long long>(totals.teardowns.load()),
           static_cast<unsigned long long>(totals.closes.load()), static_cast<unsigned long long>(totals.resets.load()));
    uint64_t unexplained = 0;
    for (auto& [line, count] : totals.failures) {
        // A channel reset between DESCRIBE and SETUP or PLAY removes the
        // session those requests name.
        bool explained = line.find("454 Session Not Found") != std::string::npos ||
                         line.find("404 Stream Not Found") != std::string::npos;
        printf("  failed start%s: %llu x %s\n", explained ? " (a reset meanwhile)" : "",
               static_cast<unsigned long long>(count), line.c_str());
        if (!explained) unexplained += count;
    }
    return unexplained == 0 && totals.sessions.load() > 0 ? 0 : 1;
}
