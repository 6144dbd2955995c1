// Host threads push into channels as fast as they can while clients come and
// go, channels are reset and a failing scheduler step forces a rebuild; then
// the library is shut down with pushes running up to the call. Run under
// ThreadSanitizer: no race, no crash, every result a documented code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "Loopback.h"
#include "RtspTestClient.h"
#include "TestHost.h"
#include "api/ServerThread.h"

namespace {

constexpr int kChannels = 16;
constexpr int kPushers = 8;
constexpr auto kRunTime = std::chrono::seconds(4);

struct Tally {
    std::atomic<long> pushes{0};
    std::atomic<long> undocumented{0};
};

void pushLoop(int seed, const std::atomic<bool>& stop, Tally& tally) {
    std::mt19937 random(static_cast<unsigned>(seed));
    std::vector<uint8_t> data(64 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + seed);
    while (!stop.load(std::memory_order_relaxed)) {
        PUSH_FRAME_T frame{};
        bool video = random() % 4 != 0;
        frame.media_type = video ? NERIVO_MEDIA_VIDEO : NERIVO_MEDIA_AUDIO;
        frame.length = video ? 200 + random() % 30000 : 160;
        frame.frame_type = random() % 25 == 0 ? NERIVO_FRAME_KEY : 0;
        data[0] = video ? (frame.frame_type == NERIVO_FRAME_KEY ? 0x65 : 0x41) : 0x7F;
        frame.data = data.data();
        int result = Nerivo_PushFrame(static_cast<int>(random() % kChannels), &frame);
        if (result != 0 && result != -1 && result != -2) tally.undocumented++;
        tally.pushes++;
    }
}

void clientLoop(uint16_t port, int seed, const std::atomic<bool>& stop) {
    std::mt19937 random(static_cast<unsigned>(seed));
    while (!stop.load()) {
        RtspTestClient client(port);
        if (!client.connected()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam" + std::to_string(random() % kChannels);
        RtspResponse describe = client.describe(url, "");
        if (describe.status == 200 && client.setupTcp(url + "/track1", 0).status == 200) {
            client.play(url);
            client.readFrames(1 + random() % 20, 300);
            if (random() % 2 == 0) client.teardown(url);
        }
        // Otherwise the connection just closes, ending its streams.
    }
}

TEST(ChannelStress, PushesClientsResetsRebuildAndShutdown) {
    LogCapture quiet;  // the run logs a lot; keep the test output readable
    TestHost host;
    for (int i = 0; i < kChannels; ++i) host.addChannel(i, "cam" + std::to_string(i), TestHost::h264Description());
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);

    Tally tally;
    std::atomic<bool> stopPushing{false}, stopClients{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPushers; ++i) threads.emplace_back(pushLoop, i + 1, std::cref(stopPushing), std::ref(tally));
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) clients.emplace_back(clientLoop, port, 100 + i, std::cref(stopClients));

    auto start = std::chrono::steady_clock::now();
    bool rebuilt = false;
    std::mt19937 random(7);
    while (std::chrono::steady_clock::now() - start < kRunTime) {
        int result = Nerivo_ResetChannel(static_cast<int>(random() % kChannels));
        EXPECT_TRUE(result == 0 || result == -2) << result;
        if (!rebuilt && std::chrono::steady_clock::now() - start > kRunTime / 2) {
            ServerThread_FailNextStep();
            rebuilt = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    stopClients = true;
    for (auto& t : clients) t.join();
    // Pushes run right up to the shutdown call.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stopPushing = true;
    });
    EXPECT_EQ(Nerivo_Shutdown(), 0);
    stopper.join();
    for (auto& t : threads) t.join();
    EXPECT_GT(tally.pushes.load(), 1000);
    EXPECT_EQ(tally.undocumented.load(), 0);
}

}  // namespace
