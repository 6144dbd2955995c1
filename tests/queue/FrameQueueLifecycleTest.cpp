// Creation, destruction, emptying, the shared channel lock and creation that
// runs out of memory.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "LogCapture.h"
#include "QueueTestSupport.h"
#include "queue/NamedMutex.h"

namespace {

std::string lockName(int channel_id) { return "(null)" + std::to_string(channel_id) + "_mutex"; }

TEST(FrameQueueLifecycle, CreateSetsUpAnEmptyQueueAndDestroyReleasesEverything) {
    FRAME_QUEUE_T queue{};
    ASSERT_EQ(0, FrameQueue_Create(&queue, 31, 4096));
    EXPECT_EQ(31, queue.channel_id);
    ASSERT_NE(nullptr, queue.pLock);
    ASSERT_NE(nullptr, queue.pQueHeader);
    ASSERT_NE(nullptr, queue.pBuffer);
    ASSERT_NE(nullptr, queue.pFrameIndex);
    QUEUE_HEADER_T want{};
    want.bufsize = 4096;
    want.index_capacity = 30;
    EXPECT_EQ(0, memcmp(&want, queue.pQueHeader, sizeof want));
    std::vector<FRAME_INDEX_T> zeroIndex(30);
    EXPECT_EQ(0, memcmp(zeroIndex.data(), queue.pFrameIndex, 30 * sizeof(FRAME_INDEX_T)));
    EXPECT_TRUE(FrameQueue_IsEmpty(&queue));
    EXPECT_EQ(1, NamedMutex_ReferenceCount(lockName(31).c_str()));

    EXPECT_EQ(0, FrameQueue_Destroy(&queue));
    EXPECT_EQ(nullptr, queue.pLock);
    EXPECT_EQ(nullptr, queue.pQueHeader);
    EXPECT_EQ(nullptr, queue.pBuffer);
    EXPECT_EQ(nullptr, queue.pFrameIndex);
    EXPECT_EQ(0, NamedMutex_ReferenceCount(lockName(31).c_str()));
}

TEST(FrameQueueLifecycle, NullObjectsAreRefused) {
    EXPECT_EQ(-1, FrameQueue_Create(nullptr, 1, 100));
    EXPECT_EQ(-1, FrameQueue_Destroy(nullptr));
    EXPECT_EQ(-1, FrameQueue_Clear(nullptr));
    FRAME_INFO_T info = makeInfo(1);
    EXPECT_EQ(-1, FrameQueue_UpdateIndex(nullptr, &info));
    EXPECT_TRUE(FrameQueue_IsEmpty(nullptr));
}

TEST(FrameQueueLifecycle, QueuesOfOneChannelShareOneLockUntilTheLastIsDestroyed) {
    FRAME_QUEUE_T video{}, audio{}, other{};
    ASSERT_EQ(0, FrameQueue_Create(&video, 7, 0x300000));
    ASSERT_EQ(0, FrameQueue_Create(&audio, 7, 0x20000));
    ASSERT_EQ(0, FrameQueue_Create(&other, 8, 0x20000));
    EXPECT_EQ(video.pLock, audio.pLock);
    EXPECT_NE(video.pLock, other.pLock);
    EXPECT_EQ(2, NamedMutex_ReferenceCount("(null)7_mutex"));
    EXPECT_EQ(1, NamedMutex_ReferenceCount("(null)8_mutex"));

    // While the video queue's lock is held, a write to the audio queue waits.
    std::atomic<bool> written{false};
    NamedMutex_Wait(video.pLock);
    std::thread writer([&] {
        TestFrame frame = makeFrame(10, 1);
        EXPECT_EQ(0, FrameQueue_Write(&audio, 7, kAudio, &frame.info, frame.data.data(), 1));
        written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(written);
    NamedMutex_Release(video.pLock);
    writer.join();
    EXPECT_TRUE(written);

    FrameQueue_Destroy(&video);
    EXPECT_EQ(1, NamedMutex_ReferenceCount("(null)7_mutex"));
    expectNextFrame(&audio, makeFrame(10, 1));  // the survivor still locks
    FrameQueue_Destroy(&audio);
    EXPECT_EQ(0, NamedMutex_ReferenceCount("(null)7_mutex"));
    FrameQueue_Destroy(&other);
    EXPECT_EQ(0, NamedMutex_ReferenceCount("(null)8_mutex"));
}

class AllocationFailureTest : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { FrameQueue_FailAllocationForTest(0); }
};

TEST_P(AllocationFailureTest, LeavesAHollowObjectThatEveryOperationRefuses) {
    FRAME_QUEUE_T queue{};
    FrameQueue_FailAllocationForTest(GetParam());
    EXPECT_EQ(-1, FrameQueue_Create(&queue, 12, 4096));
    EXPECT_EQ(12, queue.channel_id);
    EXPECT_EQ(nullptr, queue.pLock);
    EXPECT_EQ(nullptr, queue.pQueHeader);
    EXPECT_EQ(nullptr, queue.pBuffer);
    EXPECT_EQ(nullptr, queue.pFrameIndex);
    EXPECT_EQ(0, NamedMutex_ReferenceCount("(null)12_mutex"));

    TestFrame frame = makeFrame(10, 1, 1, kVideo);
    FRAME_INFO_T info{};
    uint8_t type = 0;
    uint8_t dest[16];
    auto lines = captureLog([&] {
        EXPECT_EQ(-1, FrameQueue_Write(&queue, 12, kVideo, &frame.info, frame.data.data(), 1));
        EXPECT_EQ(-1, FrameQueue_Read(&queue, &info, &type, dest, sizeof dest, 1));
        EXPECT_EQ(-1, FrameQueue_Read(&queue, &info, &type, dest, sizeof dest, 0));
        EXPECT_EQ(-1, FrameQueue_Clear(&queue));
        EXPECT_EQ(-1, FrameQueue_UpdateIndex(&queue, &frame.info));
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(FrameQueue_IsEmpty(&queue));
    EXPECT_EQ(0, FrameQueue_Destroy(&queue));  // harmless on a hollow object

    // The failure was one-off: the next creation works.
    ASSERT_EQ(0, FrameQueue_Create(&queue, 12, 4096));
    EXPECT_EQ(0, FrameQueue_Write(&queue, 12, kVideo, &frame.info, frame.data.data(), 1));
    FrameQueue_Destroy(&queue);
}

// Allocation steps: the lock, the header, the index, the data area.
std::string allocationStepName(const ::testing::TestParamInfo<int>& info) {
    static const char* const names[] = {"", "Lock", "Header", "Index", "DataArea"};
    return names[info.param];
}
INSTANTIATE_TEST_SUITE_P(Steps, AllocationFailureTest, ::testing::Values(1, 2, 3, 4), allocationStepName);

class FrameQueueClearTest : public QueueTest {};

TEST_F(FrameQueueClearTest, EmptiesAndZeroFillsButKeepsStampsLargestFrameAndIndexBytes) {
    createQueue(1000);
    moveEmptyQueueTo(&fQueue, 300);
    for (uint32_t i = 1; i <= 3; ++i) ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(100 * i, i, 1, kVideo)));
    header().full_flag = 1;
    QUEUE_HEADER_T before = header();
    std::vector<FRAME_INDEX_T> indexBefore(fQueue.pFrameIndex, fQueue.pFrameIndex + 30);

    EXPECT_EQ(0, FrameQueue_Clear(&fQueue));
    QUEUE_HEADER_T want = before;
    want.writepos = want.readpos = want.totalsize = want.cache_frames = 0;
    want.index_valid = want.index_count = 0;
    EXPECT_EQ(0, memcmp(&want, &header(), sizeof want));
    EXPECT_EQ(300u, header().max_frame_size);
    EXPECT_EQ(0, memcmp(indexBefore.data(), fQueue.pFrameIndex, 30 * sizeof(FRAME_INDEX_T)));
    std::vector<uint8_t> zeros(1000, 0);
    EXPECT_EQ(0, memcmp(zeros.data(), fQueue.pBuffer, 1000));
    EXPECT_TRUE(FrameQueue_IsEmpty(&fQueue));
    FRAME_INFO_T info{};
    EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, nullptr, nullptr, 0, 1));
}

}  // namespace
