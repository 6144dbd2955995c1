// Reader: empty and bad arguments, peeks, null destinations, the capacity cut,
// damaged headers and counts that do not cover the frame.
#include <cstring>
#include <string>

#include "LogCapture.h"
#include "QueueTestSupport.h"

namespace {

constexpr uint32_t kSize = 1000;

class FrameQueueReadTest : public QueueTest {
protected:
    void SetUp() override { createQueue(kSize); }

    FRAME_INFO_T sentinelInfo() {
        FRAME_INFO_T info;
        memset(&info, 0xAB, sizeof info);
        return info;
    }

    void corruptMarkerAt(uint32_t headerStart, uint32_t marker) {
        uint8_t bytes[4];
        memcpy(bytes, &marker, sizeof bytes);
        for (uint32_t i = 0; i < 4; ++i) fQueue.pBuffer[(headerStart + 8 + i) % kSize] = bytes[i];
    }

    void expectEmptiedAndZeroed() {
        EXPECT_EQ(0u, header().totalsize);
        EXPECT_EQ(0u, header().readpos);
        EXPECT_EQ(0u, header().writepos);
        EXPECT_EQ(0u, header().cache_frames);
        EXPECT_TRUE(FrameQueue_IsEmpty(&fQueue));
        std::vector<uint8_t> zeros(kSize, 0);
        EXPECT_EQ(0, memcmp(zeros.data(), fQueue.pBuffer, kSize));
    }
};

TEST_F(FrameQueueReadTest, EmptyQueueAndBadArgumentsGiveNoFrameAndNoLogLine) {
    FRAME_INFO_T info = sentinelInfo();
    uint8_t type = 0x55;
    auto lines = captureLog([&] {
        EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, &type, nullptr, 0, 1));
        EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, &type, nullptr, 0, 0));
        ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 1)));
        EXPECT_EQ(-1, FrameQueue_Read(nullptr, &info, &type, nullptr, 0, 1));
        EXPECT_EQ(-1, FrameQueue_Read(&fQueue, nullptr, &type, nullptr, 0, 1));
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(0x55, type);
    EXPECT_EQ(kHeaderBytes + 10, header().totalsize);
}

struct PeekCase {
    const char* label;
    uint32_t start;
    bool withType;
    int wantResult;
};

std::ostream& operator<<(std::ostream& out, const PeekCase& c) { return out << c.label; }

class PeekTest : public FrameQueueReadTest, public ::testing::WithParamInterface<PeekCase> {};

TEST_P(PeekTest, LeavesTheFrameAndDeliversTheRecordOnlyWithATypeOutput) {
    const PeekCase& c = GetParam();
    if (c.start > 0) moveEmptyQueueTo(&fQueue, c.start);
    TestFrame frame = makeFrame(100, 3, 0x7701, kVideo);
    ASSERT_EQ(0, writeFrame(&fQueue, frame));
    QUEUE_HEADER_T before = header();

    FRAME_INFO_T info = sentinelInfo();
    FRAME_INFO_T untouched = info;
    uint8_t type = 0x55;
    std::vector<uint8_t> dest(100, 0xEE);
    EXPECT_EQ(c.wantResult, FrameQueue_Read(&fQueue, &info, c.withType ? &type : nullptr, dest.data(), 100, 0));

    if (c.withType) {
        EXPECT_EQ(0x01, type);
        EXPECT_EQ(0, memcmp(&info, &frame.info, sizeof info));
    } else {
        EXPECT_EQ(0x55, type);
        EXPECT_EQ(0, memcmp(&info, &untouched, sizeof info));
    }
    EXPECT_EQ(std::vector<uint8_t>(100, 0xEE), dest);
    before.read_stamp = header().read_stamp;
    EXPECT_EQ(0, memcmp(&before, &header(), sizeof before));
    expectNextFrame(&fQueue, frame);
}

INSTANTIATE_TEST_SUITE_P(Cases, PeekTest,
                         ::testing::Values(PeekCase{"WholeHeaderWithType", 0, true, 0},
                                           PeekCase{"WholeHeaderWithoutType", 0, false, 0},
                                           PeekCase{"SplitHeaderWithType", 980, true, 1000},
                                           PeekCase{"SplitHeaderWithoutType", 980, false, 1000}),
                         [](const ::testing::TestParamInfo<PeekCase>& info) { return std::string(info.param.label); });

TEST_F(FrameQueueReadTest, NullDestinationTakesTheFrameOutAndStillDeliversItsRecord) {
    TestFrame first = makeFrame(100, 1, 0, kVideo);
    TestFrame second = makeFrame(30, 2);
    ASSERT_EQ(0, writeFrame(&fQueue, first));
    ASSERT_EQ(0, writeFrame(&fQueue, second));
    FRAME_INFO_T info = sentinelInfo();
    EXPECT_EQ(0, FrameQueue_Read(&fQueue, &info, nullptr, nullptr, 1000, 1));
    EXPECT_EQ(0, memcmp(&info, &first.info, sizeof info));
    EXPECT_EQ(kHeaderBytes + 30, header().totalsize);
    EXPECT_EQ(0u, header().cache_frames);
    expectNextFrame(&fQueue, second);
}

TEST_F(FrameQueueReadTest, ReadingVideoLowersCachedFramesAndAudioDoesNot) {
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 1, 0, kVideo)));
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 2, 0, kAudio)));
    ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(10, 3, 0, kVideo)));
    EXPECT_EQ(2u, header().cache_frames);
    expectNextFrame(&fQueue, makeFrame(10, 1, 0, kVideo));
    EXPECT_EQ(1u, header().cache_frames);
    expectNextFrame(&fQueue, makeFrame(10, 2, 0, kAudio));
    EXPECT_EQ(1u, header().cache_frames);
    expectNextFrame(&fQueue, makeFrame(10, 3, 0, kVideo));
    EXPECT_EQ(0u, header().cache_frames);
}

struct CutCase {
    const char* label;
    uint32_t start;
    uint32_t capacity;
    int wantResult;
};

std::ostream& operator<<(std::ostream& out, const CutCase& c) { return out << c.label; }

class CapacityCutTest : public FrameQueueReadTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CapacityCutTest, CopiesAtMostCapacityAndTakesTheWholeFrameOut) {
    const CutCase& c = GetParam();
    if (c.start > 0) moveEmptyQueueTo(&fQueue, c.start);
    TestFrame longFrame = makeFrame(100, 4);
    TestFrame next = makeFrame(20, 5);
    ASSERT_EQ(0, writeFrame(&fQueue, longFrame));
    ASSERT_EQ(0, writeFrame(&fQueue, next));

    std::vector<uint8_t> dest(120, 0xEE);
    FRAME_INFO_T info{};
    EXPECT_EQ(c.wantResult, FrameQueue_Read(&fQueue, &info, nullptr, dest.data(), c.capacity, 1));
    EXPECT_EQ(100u, info.length);  // the caller learns what was cut
    uint32_t copied = c.capacity < 100 ? c.capacity : 100;
    for (uint32_t i = 0; i < dest.size(); ++i)
        ASSERT_EQ(i < copied ? longFrame.data[i] : 0xEE, dest[i]) << "byte " << i;
    EXPECT_EQ(kHeaderBytes + 20, header().totalsize);
    expectNextFrame(&fQueue, next);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CapacityCutTest,
    ::testing::Values(CutCase{"OnePiece", 0, 40, 0}, CutCase{"NothingWithZeroCapacity", 0, 0, 0},
                      CutCase{"ExactCapacity", 0, 100, 0},
                      CutCase{"WrappedCutInFirstPiece", 940, 5, 0},   // pieces of 8 and 92
                      CutCase{"WrappedCutInSecondPiece", 940, 50, 0},
                      CutCase{"WrappedWhole", 940, 120, 0},
                      CutCase{"SplitHeader", 980, 30, 1000}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.label); });

struct DamageCase {
    const char* label;
    uint32_t marker;
    int consume;
    bool withType;
    const char* wantHex;
};

std::ostream& operator<<(std::ostream& out, const DamageCase& c) { return out << c.label; }

class DamagedHeaderTest : public FrameQueueReadTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedHeaderTest, WholeHeaderWithBadMarkerEmptiesTheQueue) {
    const DamageCase& c = GetParam();
    moveEmptyQueueTo(&fQueue, 200);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(100, i, 1, kVideo)));
    corruptMarkerAt(200, c.marker);

    FRAME_INFO_T info{};
    uint8_t type = 0;
    auto lines = captureLog([&] {
        EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, c.withType ? &type : nullptr, nullptr, 0, c.consume));
    });
    EXPECT_EQ(lines, (std::vector<LogLine>{{3, "标志位错误... 缓存视频帧:3  字节数:456  清空队列"},
                                           {3, c.wantHex},
                                           {3, "111标志位错误... 缓存视频帧:0  字节数:0"},
                                           {3, "标志位错误.. 清空队列..  readpos: 0"}}));
    expectEmptiedAndZeroed();

    // The writer starts again from a clean ring.
    TestFrame after = makeFrame(10, 9);
    ASSERT_EQ(0, writeFrame(&fQueue, after));
    EXPECT_EQ(kHeaderBytes + 10, header().writepos);
    expectNextFrame(&fQueue, after);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedHeaderTest,
                         ::testing::Values(DamageCase{"ConsumeZeroMarker", 0, 1, false, "00 00 00 00"},
                                           DamageCase{"ConsumeWithType", 0x12345678, 1, true, "12 34 56 78"},
                                           DamageCase{"PeekWithType", 0x0FFFFFFE, 0, true, "0F FF FF FE"},
                                           DamageCase{"PeekWithoutType", 0, 0, false, "00 00 00 00"}),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(FrameQueueReadTest, SplitHeaderWithBadMarkerEmptiesTheQueueOnConsumeAndPeek) {
    for (int consume : {1, 0}) {
        SCOPED_TRACE(consume);
        moveEmptyQueueTo(&fQueue, 980);
        ASSERT_EQ(0, writeFrame(&fQueue, makeFrame(100, 1, 1, kVideo)));
        corruptMarkerAt(980, 0);
        FRAME_INFO_T info = sentinelInfo();
        FRAME_INFO_T untouched = info;
        uint8_t type = 0x55;
        auto lines = captureLog([&] { EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, &type, nullptr, 0, consume)); });
        EXPECT_EQ(lines, (std::vector<LogLine>{{3, "SSQ_标志符错误..."}}));
        EXPECT_EQ(0, memcmp(&info, &untouched, sizeof info));  // no damaged record handed out
        EXPECT_EQ(0x55, type);
        expectEmptiedAndZeroed();
    }
}

struct ShortCountCase {
    const char* label;
    uint32_t start;
    const char* wantLine;
};

std::ostream& operator<<(std::ostream& out, const ShortCountCase& c) { return out << c.label; }

class ShortCountTest : public FrameQueueReadTest, public ::testing::WithParamInterface<ShortCountCase> {};

TEST_P(ShortCountTest, CountsThatDoNotCoverTheFrameLeaveItInTheQueue) {
    const ShortCountCase& c = GetParam();
    if (c.start > 0) moveEmptyQueueTo(&fQueue, c.start);
    TestFrame frame = makeFrame(200, 6, 0, kVideo);
    ASSERT_EQ(0, writeFrame(&fQueue, frame));
    header().totalsize = 100;  // damaged count
    QUEUE_HEADER_T before = header();

    FRAME_INFO_T info{};
    std::vector<uint8_t> dest(200);
    auto lines = captureLog([&] { EXPECT_EQ(-1, FrameQueue_Read(&fQueue, &info, nullptr, dest.data(), 200, 1)); });
    EXPECT_EQ(lines, (std::vector<LogLine>{{2, c.wantLine}}));
    EXPECT_EQ(0, memcmp(&before, &header(), sizeof before));

    header().totalsize = kHeaderBytes + 200;
    expectNextFrame(&fQueue, frame);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortCountTest,
    ::testing::Values(ShortCountCase{"DataInOnePiece", 0, "数据量不够... 总字节数[100]<帧长[252]. 读位置:0 / 1000"},
                      ShortCountCase{"DataWrapping", 900, "总字节数<帧长+sizeof(SS_BUF_T).."},
                      ShortCountCase{"HeaderSplit", 980, "数据量不够... 总字节数[100]<帧长[252]. 读位置:980 / 1000"}),
    [](const ::testing::TestParamInfo<ShortCountCase>& info) { return std::string(info.param.label); });

TEST_F(FrameQueueReadTest, ReadPosAtTheEndIsResetWithALevelZeroLine) {
    moveEmptyQueueTo(&fQueue, kSize);
    TestFrame frame = makeFrame(50, 8);
    captureLog([&] { ASSERT_EQ(0, writeFrame(&fQueue, frame)); });
    header().readpos = kSize;  // the same place as 0
    std::vector<LogLine> lines = captureLog([&] { expectNextFrame(&fQueue, frame); });
    EXPECT_EQ(lines, (std::vector<LogLine>{{0, "重置读位置[1000 / 1000].."}}));
    EXPECT_EQ(kHeaderBytes + 50, header().readpos);
}

}  // namespace
