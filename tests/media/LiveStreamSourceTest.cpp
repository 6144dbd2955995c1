// Live stream sources on a real scheduler: the first poll after a request,
// the shared poll set that idle sources wait in, and closing while waiting.
#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "media/LiveSource.h"
#include "media/LiveStreamSource.h"
#include "media/QueuePollSet.h"

namespace {

constexpr uint32_t kQueueSize = 64 * 1024;

// One channel: its queues, its live source and the reader's side of a request.
struct Channel {
    FRAME_QUEUE_T video{};
    FRAME_QUEUE_T audio{};
    LiveSource* live = nullptr;
    unsigned char buffer[2048];
    int delivered = 0;
    int64_t deliveredAt = 0;
    unsigned lastSize = 0;

    void push(uint32_t length) {
        std::vector<uint8_t> data(length, 0x41);
        FRAME_INFO_T info{};
        info.length = length;
        info.timestamp_sec = 7;
        ASSERT_EQ(0, FrameQueue_Write(&video, video.channel_id, 1, &info, data.data(), 1));
    }

    static void afterGetting(void* clientData, unsigned frameSize, unsigned, struct timeval, unsigned) {
        auto* channel = static_cast<Channel*>(clientData);
        channel->delivered += 1;
        channel->lastSize = frameSize;
        channel->deliveredAt = BasicTaskScheduler::nowMicroseconds();
    }

    void request() {
        live->videoStreamSource()->getNextFrame(buffer, sizeof buffer, afterGetting, this, nullptr, nullptr);
    }
};

class LiveStreamSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Waits of up to a second: a frame is only taken promptly if its write wakes the loop.
        fScheduler = BasicTaskScheduler::createNew(1000000);
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    }

    void TearDown() override {
        for (auto& channel : fChannels) closeChannel(*channel);
        EXPECT_EQ(nullptr, fEnv->liveSourcePriv) << "the poll set outlived the last live source";
        fEnv->reclaim();
        delete fScheduler;
    }

    Channel& addChannel() {
        fChannels.push_back(std::make_unique<Channel>());
        Channel& channel = *fChannels.back();
        int id = 900 + static_cast<int>(fChannels.size());
        EXPECT_EQ(0, FrameQueue_Create(&channel.video, id, kQueueSize));
        EXPECT_EQ(0, FrameQueue_Create(&channel.audio, id, kQueueSize));
        channel.live = LiveSource::createNew(*fEnv, id, nullptr, &channel.video, &channel.audio, nullptr, nullptr);
        return channel;
    }

    static void closeChannel(Channel& channel) {
        if (channel.live != nullptr) Medium::close(channel.live);
        channel.live = nullptr;
        FrameQueue_Destroy(&channel.video);
        FrameQueue_Destroy(&channel.audio);
    }

    // Runs the loop for about `microseconds`.
    void runFor(int64_t microseconds) {
        int64_t end = BasicTaskScheduler::nowMicroseconds() + microseconds;
        while (BasicTaskScheduler::nowMicroseconds() < end) fScheduler->SingleStep(1000);
    }

    QueuePollSet* pollSet() const { return static_cast<QueuePollSet*>(fEnv->liveSourcePriv); }

    BasicTaskScheduler* fScheduler = nullptr;
    BasicUsageEnvironment* fEnv = nullptr;
    std::vector<std::unique_ptr<Channel>> fChannels;
};

TEST_F(LiveStreamSourceTest, WaitingFrameIsDeliveredAfterOnePollNotBefore) {
    Channel& channel = addChannel();
    channel.push(100);
    int64_t requestedAt = BasicTaskScheduler::nowMicroseconds();
    channel.request();
    EXPECT_EQ(0, channel.delivered) << "delivered inside the request";
    runFor(20000);
    ASSERT_EQ(1, channel.delivered);
    EXPECT_EQ(100u, channel.lastSize);
    EXPECT_GE(channel.deliveredAt - requestedAt, QueuePollSet::kSweepIntervalUs);
    ASSERT_NE(nullptr, pollSet());
    EXPECT_EQ(0u, pollSet()->parkedCount());
}

TEST_F(LiveStreamSourceTest, IdleSourcesShareTheSweepAndWakeOnlyWhenTheirQueueFills) {
    constexpr int kChannels = 200;
    for (int i = 0; i < kChannels; ++i) addChannel().request();
    runFor(10000);
    ASSERT_NE(nullptr, pollSet());
    EXPECT_EQ(static_cast<size_t>(kChannels), pollSet()->parkedCount());
    EXPECT_EQ(0u, pollSet()->polledCount()) << "empty queues wake their readers: nothing to poll";
    for (auto& channel : fChannels) EXPECT_EQ(0, channel->delivered);

    // Every seventh channel gets a frame while its source waits.
    for (int i = 0; i < kChannels; i += 7) fChannels[i]->push(50 + i);
    runFor(20000);
    int woken = 0;
    for (int i = 0; i < kChannels; ++i) {
        bool pushed = i % 7 == 0;
        EXPECT_EQ(pushed ? 1 : 0, fChannels[i]->delivered) << "channel " << i;
        if (pushed) {
            EXPECT_EQ(static_cast<unsigned>(50 + i), fChannels[i]->lastSize);
            woken += 1;
        }
    }
    EXPECT_EQ(static_cast<size_t>(kChannels - woken), pollSet()->parkedCount());

    // A new request waits again and receives the next frame.
    fChannels[0]->request();
    fChannels[0]->push(33);
    runFor(20000);
    EXPECT_EQ(2, fChannels[0]->delivered);
    EXPECT_EQ(33u, fChannels[0]->lastSize);
}

TEST_F(LiveStreamSourceTest, ClosingOrStoppingAWaitingSourceLeavesTheSet) {
    Channel& closed = addChannel();
    Channel& stopped = addChannel();
    Channel& waiting = addChannel();
    for (auto& channel : fChannels) channel->request();
    runFor(10000);
    ASSERT_EQ(3u, pollSet()->parkedCount());

    closeChannel(closed);  // closes its stream source while parked
    stopped.live->videoStreamSource()->stopGettingFrames();
    EXPECT_EQ(1u, pollSet()->parkedCount());

    for (auto& channel : fChannels)
        if (channel->live != nullptr) channel->push(10);
    runFor(20000);
    EXPECT_EQ(0, stopped.delivered);
    EXPECT_EQ(1, waiting.delivered);
}

// A source without a queue cannot be woken: it is polled, and yields nothing.
TEST_F(LiveStreamSourceTest, SourceWithoutAQueueIsPolledAndYieldsNothing) {
    fChannels.push_back(std::make_unique<Channel>());
    Channel& channel = *fChannels.back();
    channel.live = LiveSource::createNew(*fEnv, 950, nullptr, nullptr, nullptr, nullptr, nullptr);
    channel.request();
    runFor(10000);
    EXPECT_EQ(0, channel.delivered);
    EXPECT_EQ(1u, pollSet()->polledCount());
}

// Frames written by a host thread while the server thread waits, parks and
// closes sources: every frame is delivered once, and nothing outlives its queue.
TEST_F(LiveStreamSourceTest, HostThreadWritesWakeWaitingSourcesPromptly) {
    constexpr int kFrames = 200;
    Channel& channel = addChannel();
    std::atomic<bool> stop{false};
    channel.request();
    runFor(5000);
    std::thread host([&] {
        for (int i = 0; i < kFrames && !stop.load(); ++i) {
            channel.push(20 + i % 50);
            std::this_thread::sleep_for(std::chrono::microseconds(2000));
        }
    });
    int64_t end = BasicTaskScheduler::nowMicroseconds() + 5000000;
    while (channel.delivered < kFrames && BasicTaskScheduler::nowMicroseconds() < end) {
        int before = channel.delivered;
        fScheduler->SingleStep(0);
        if (channel.delivered != before) channel.request();
    }
    stop.store(true);
    host.join();
    EXPECT_EQ(kFrames, channel.delivered) << "a write did not wake the waiting loop";
}

// A source whose turn closes another waiting channel (as a reader that tears
// a session down would) leaves the sweep sound.
TEST_F(LiveStreamSourceTest, ATurnThatClosesAnotherWaitingSourceIsSafe) {
    Channel& first = addChannel();
    Channel& second = addChannel();
    struct Closer {
        Channel* victim;
        static void afterGetting(void* clientData, unsigned, unsigned, struct timeval, unsigned) {
            closeChannel(*static_cast<Closer*>(clientData)->victim);
        }
    } closer{&second};
    unsigned char buffer[256];
    first.live->videoStreamSource()->getNextFrame(buffer, sizeof buffer, Closer::afterGetting, &closer, nullptr,
                                                  nullptr);
    second.request();
    runFor(10000);
    first.push(10);
    second.push(10);
    runFor(20000);
    EXPECT_EQ(nullptr, second.live);
    EXPECT_EQ(0, second.delivered);
    EXPECT_EQ(0u, pollSet()->parkedCount());
}

}  // namespace
