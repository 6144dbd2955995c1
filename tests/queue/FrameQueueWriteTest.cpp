// Writer: argument checks, placement round the end of the data area, the
// index of recent video frames and the deletion of history.
#include <cstring>
#include <string>

#include "LogCapture.h"
#include "QueueTestSupport.h"

namespace {

constexpr uint32_t kSize = 1000;

class FrameQueueWriteTest : public QueueTest {
protected:
    void SetUp() override { createQueue(kSize); }
};

TEST_F(FrameQueueWriteTest, RefusesBadArgumentsWithoutTouchingTheQueue) {
    TestFrame frame = makeFrame(10, 1);
    FRAME_INFO_T empty = makeInfo(0);
    QUEUE_HEADER_T before = header();
    auto lines = captureLog([&] {
        EXPECT_EQ(-1, FrameQueue_Write(nullptr, 5, kAudio, &frame.info, frame.data.data(), 1));
        EXPECT_EQ(-1, FrameQueue_Write(&fQueue, 5, kAudio, nullptr, frame.data.data(), 1));
        EXPECT_EQ(-1, FrameQueue_Write(&fQueue, 5, kAudio, &frame.info, nullptr, 1));
        EXPECT_EQ(-1, FrameQueue_Write(&fQueue, 5, kAudio, &empty, frame.data.data(), 1));
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(0, memcmp(&before, &header(), sizeof before));
}

TEST_F(FrameQueueWriteTest, RefusesFrameLongerThanTheDataArea) {
    TestFrame frame = makeFrame(kSize + 1, 1);
    auto lines = captureLog([&] { EXPECT_EQ(-1, writeFrame(&fQueue, frame)); });
    EXPECT_EQ(lines, (std::vector<LogLine>{{1, "Buffer too low.. Current Frame Size: 1001\tBuffer Size: 1000"}}));
    EXPECT_EQ(0u, header().totalsize);
}

struct PlacementCase {
    const char* label;
    uint32_t start;       // writepos (and readpos) before the write
    uint32_t length;
    uint32_t dataOffset;  // where the frame data begins in the area
    uint32_t wantWritePos;
    std::vector<LogLine> wantWriteLog;
    int wantReadResult;
    std::vector<LogLine> wantReadLog;
    uint32_t wantReadPos;
};

std::ostream& operator<<(std::ostream& out, const PlacementCase& c) { return out << c.label; }

class PlacementTest : public QueueTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, PlacesHeaderAndDataRoundTheEndAndReadsThemBack) {
    const PlacementCase& c = GetParam();
    createQueue(kSize);
    if (c.start > 0) moveEmptyQueueTo(&fQueue, c.start);
    ASSERT_EQ(c.start, header().writepos);
    TestFrame frame = makeFrame(c.length, 42, 1, kVideo);

    auto writeLog = captureLog([&] { EXPECT_EQ(0, writeFrame(&fQueue, frame)); });
    EXPECT_EQ(c.wantWriteLog, writeLog);
    EXPECT_EQ(c.wantWritePos, header().writepos);
    EXPECT_EQ(kHeaderBytes + c.length, header().totalsize);

    // The record lies round the area from the header's start, bytes in order.
    uint32_t headerStart = c.start % kSize;
    SS_BUF_T want = expectedHeader(fQueue.channel_id, frame);
    const uint8_t* wantBytes = reinterpret_cast<const uint8_t*>(&want);
    for (uint32_t i = 0; i < kHeaderBytes; ++i) ASSERT_EQ(wantBytes[i], ringByte(&fQueue, headerStart, i)) << i;
    ASSERT_EQ(c.dataOffset, (headerStart + kHeaderBytes) % kSize);
    for (uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(frame.data[i], ringByte(&fQueue, c.dataOffset, i)) << i;

    FRAME_INFO_T info{};
    std::vector<uint8_t> dest(c.length);
    std::vector<LogLine> readLog = captureLog([&] {
        EXPECT_EQ(c.wantReadResult, FrameQueue_Read(&fQueue, &info, nullptr, dest.data(), c.length, 1));
    });
    EXPECT_EQ(c.wantReadLog, readLog);
    EXPECT_EQ(frame.data, dest);
    EXPECT_EQ(0, memcmp(&info, &frame.info, sizeof info));
    EXPECT_EQ(c.wantReadPos, header().readpos);
    EXPECT_EQ(0u, header().totalsize);
    EXPECT_TRUE(FrameQueue_IsEmpty(&fQueue));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlacementTest,
    ::testing::Values(
        PlacementCase{"OnePieceInTheMiddle", 100, 100, 152, 252, {}, 0, {}, 252},
        PlacementCase{"EndsExactlyAtTheEnd", 500, 448, 552, 1000, {}, 0, {}, 0},
        PlacementCase{"WritePosAtTheEndStartsAtZero", 1000, 100, 52, 152,
                      {{2, "从头开始写..  writepos: 152"}}, 0, {}, 152},
        PlacementCase{"SixtyLeftDataSplitEightAndNinetyTwo", 940, 100, 992, 92, {}, 0, {}, 92},
        PlacementCase{"ExactlyHeaderLeftDataAtZero", 948, 100, 0, 100,
                      {{2, "22222Header位于缓存尾,帧数据位于缓存首..  writepos: 100"}}, 0,
                      {{2, "111尾有部分数据... 首有部分数据... remain<=0: 0"}}, 100},
        PlacementCase{"TwentyLeftHeaderSplit", 980, 100, 32, 132, {}, 1000, {}, 132},
        PlacementCase{"OneLeftHeaderSplit", 999, 10, 51, 61, {}, 1000, {}, 61},
        PlacementCase{"FiftyOneLeftHeaderSplit", 949, 10, 1, 11, {}, 1000, {}, 11}),
    [](const ::testing::TestParamInfo<PlacementCase>& info) { return std::string(info.param.label); });

TEST_F(FrameQueueWriteTest, DropsFrameThatDoesNotFitWhenHistoryMustBeKept) {
    for (uint32_t i = 0; i < 6; ++i) ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(100, i, 0, kVideo)));
    QUEUE_HEADER_T before = header();
    std::vector<uint8_t> areaBefore(fQueue.pBuffer, fQueue.pBuffer + kSize);
    TestFrame late = makeFrame(150, 77);
    auto lines = captureLog([&] { EXPECT_EQ(0, writeFrame(&fQueue, late, 0)); });
    EXPECT_EQ(lines, (std::vector<LogLine>{
                         {1, "Beyond the buffer size.. framesize:150\ttotalsize:912\tbufsize:1000  Cache Frames:6"}}));
    EXPECT_EQ(0, memcmp(&before, &header(), sizeof before));
    EXPECT_EQ(0, memcmp(areaBefore.data(), fQueue.pBuffer, kSize));
}

struct DeletionCase {
    const char* label;
    std::vector<uint32_t> types;  // of the six 100-byte video frames held
    uint32_t newLength;
    int wantResult;
    int wantDropped;  // frames; their data bytes are 100 each
};

std::ostream& operator<<(std::ostream& out, const DeletionCase& c) { return out << c.label; }

class HistoryDeletionTest : public QueueTest, public ::testing::WithParamInterface<DeletionCase> {};

TEST_P(HistoryDeletionTest, DropsOldestFramesUpToATypeOneFrame) {
    const DeletionCase& c = GetParam();
    createQueue(kSize);
    std::vector<TestFrame> held;
    for (uint32_t i = 0; i < c.types.size(); ++i) {
        held.push_back(makeFrame(100, i + 1, c.types[i], kVideo));
        ASSERT_EQ(0, writeFrame(&fQueue, held.back()));
    }
    TestFrame latest = makeFrame(c.newLength, 50, 1, kVideo);
    auto lines = captureLog([&] { EXPECT_EQ(c.wantResult, writeFrame(&fQueue, latest, 1)); });

    std::string size = std::to_string(c.newLength);
    std::vector<LogLine> want{
        {1, "Beyond the buffer size.. framesize:" + size + "\ttotalsize:912\tbufsize:1000  Cache Frames:6"},
        {2, "Delete the queue history......    Latest frame size: " + size}};
    if (c.wantResult == 0) {
        want.push_back({2, "Total:   delete frames[" + std::to_string(c.wantDropped) + "] [" +
                               std::to_string(c.wantDropped * 100) + "]Bytes. Add latest frame Success   framesize[" +
                               size + "]"});
    } else {
        want.push_back({2, "get frame data failed from queue."});
    }
    EXPECT_EQ(want, lines);

    if (c.wantResult == 0) {
        EXPECT_EQ(0u, header().full_flag);
        EXPECT_EQ(held.size() - c.wantDropped + 1, header().cache_frames);
        for (size_t i = c.wantDropped; i < held.size(); ++i) expectNextFrame(&fQueue, held[i]);
        expectNextFrame(&fQueue, latest);
    } else {
        EXPECT_EQ(1u, header().full_flag);
        EXPECT_EQ(0u, header().cache_frames);
    }
    EXPECT_EQ(0u, header().totalsize);
    EXPECT_TRUE(FrameQueue_IsEmpty(&fQueue));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryDeletionTest,
    ::testing::Values(
        // 200 dropped bytes exceed 150; then the type-0 third frame goes as well.
        DeletionCase{"KeepsDroppingUntilTypeOne", {1, 0, 0, 1, 0, 0}, 150, 0, 3},
        DeletionCase{"StopsAtTypeOneOnceEnoughIsGone", {1, 0, 1, 0, 1, 0}, 150, 0, 2},
        // Exactly 200 dropped bytes are not more than 200: one more frame goes.
        DeletionCase{"NeedsMoreThanTheFrameLength", {1, 1, 1, 1, 1, 1}, 200, 0, 3},
        DeletionCase{"OnlyTheLowTypeByteCounts", {1, 0, 0x100, 0x201, 1, 1}, 150, 0, 3},
        DeletionCase{"NoTypeOneFrameEmptiesTheQueue", {0, 2, 0, 0, 3, 0}, 150, -1000, 6},
        DeletionCase{"FrameAsLargeAsTheAreaNeverFits", {1, 1, 1, 1, 1, 1}, 1000, -1000, 6}),
    [](const ::testing::TestParamInfo<DeletionCase>& info) { return std::string(info.param.label); });

TEST_F(FrameQueueWriteTest, FrameThatFitsAfterAFailedDeletionClearsFullFlag) {
    for (uint32_t i = 0; i < 6; ++i) ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(100, i)));
    TestFrame latest = makeFrame(150, 9);
    captureLog([&] { ASSERT_EQ(-1000, writeFrame(&fQueue, latest)); });
    ASSERT_EQ(1u, header().full_flag);
    EXPECT_EQ(0, writeFrame(&fQueue, latest));
    EXPECT_EQ(0u, header().full_flag);
    expectNextFrame(&fQueue, latest);
}

TEST_F(FrameQueueWriteTest, VideoFramesFillTheIndexAndTheThirtyFirstPushesOutTheOldest) {
    FrameQueue_Destroy(&fQueue);
    createQueue(4096);
    const uint32_t record = kHeaderBytes + 10;
    for (uint32_t i = 1; i <= 31; ++i) ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, i, 0, kVideo)));
    EXPECT_EQ(31u, header().cache_frames);
    EXPECT_EQ(30u, header().index_count);
    EXPECT_EQ(30u, header().index_valid);
    for (uint32_t e = 0; e < 30; ++e) {
        const FRAME_INDEX_T& entry = fQueue.pFrameIndex[e];
        uint32_t frame = e + 2;  // frame 1 was pushed out
        EXPECT_EQ((frame - 1) * record, entry.writepos) << e;
        EXPECT_EQ(frame, entry.stamp) << e;
        EXPECT_EQ(1000 + frame, entry.timestamp_sec) << e;
        EXPECT_EQ(500 + frame, entry.timestamp_usec) << e;
    }

    // Audio frames never enter the index nor count as cached video.
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 90, 0, kAudio)));
    EXPECT_EQ(31u, header().cache_frames);
    EXPECT_EQ(30u, header().index_count);
    EXPECT_EQ(31u, fQueue.pFrameIndex[29].stamp);
}

TEST_F(FrameQueueWriteTest, IndexEntryKeepsWritePosEqualToTheAreaSize) {
    moveEmptyQueueTo(&fQueue, kSize);
    ASSERT_EQ(kSize, header().writepos);
    captureLog([&] { ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 3, 0, kVideo))); });
    ASSERT_EQ(1u, header().index_count);
    EXPECT_EQ(kSize, fQueue.pFrameIndex[0].writepos);
}

TEST_F(FrameQueueWriteTest, StampsAndLargestFrameFollowWritesAndReads) {
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(300, 7)));
    EXPECT_EQ(7u, header().write_stamp);
    EXPECT_EQ(7u, header().read_stamp);  // still 0, so the one-piece write set it
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(20, 8)));
    EXPECT_EQ(8u, header().write_stamp);
    EXPECT_EQ(7u, header().read_stamp);
    EXPECT_EQ(300u, header().max_frame_size);
    expectNextFrame(&fQueue, makeFrame(300, 7));
    expectNextFrame(&fQueue, makeFrame(20, 8));
    EXPECT_EQ(8u, header().read_stamp);
}

}  // namespace
