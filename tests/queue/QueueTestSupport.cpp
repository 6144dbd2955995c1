#include "QueueTestSupport.h"

#include <cstring>

FRAME_INFO_T makeInfo(uint32_t length, uint32_t type, uint32_t stamp) {
    FRAME_INFO_T info{};
    info.codec = 96;
    info.type = type;
    info.length = length;
    info.stamp = stamp;
    info.timestamp_sec = 1000 + stamp;
    info.timestamp_usec = 500 + stamp;
    return info;
}

std::vector<uint8_t> framePattern(uint32_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

TestFrame makeFrame(uint32_t length, uint32_t seed, uint32_t type, int media_type) {
    return TestFrame{makeInfo(length, type, seed), framePattern(length, seed), media_type};
}

int writeFrame(FRAME_QUEUE_T* queue, const TestFrame& frame, int delete_history) {
    return FrameQueue_Write(queue, queue->channel_id, frame.media_type, &frame.info, frame.data.data(),
                            delete_history);
}

void expectNextFrame(FRAME_QUEUE_T* queue, const TestFrame& frame) {
    FRAME_INFO_T info{};
    std::vector<uint8_t> dest(frame.data.size() + 8, 0xEE);
    int result = FrameQueue_Read(queue, &info, nullptr, dest.data(), static_cast<uint32_t>(dest.size()), 1);
    ASSERT_TRUE(result == 0 || result == 1000) << result;
    EXPECT_EQ(0, memcmp(&info, &frame.info, sizeof info)) << "stamp " << info.stamp << " want " << frame.info.stamp;
    dest.resize(frame.data.size());
    EXPECT_EQ(frame.data, dest);
}

void moveEmptyQueueTo(FRAME_QUEUE_T* queue, uint32_t pos) {
    ASSERT_GT(pos, kHeaderBytes);
    TestFrame filler = makeFrame(pos - kHeaderBytes, 999);
    ASSERT_EQ(0, writeFrame(queue, filler, 0));
    expectNextFrame(queue, filler);
    ASSERT_EQ(0u, queue->pQueHeader->totalsize);
}

uint8_t ringByte(const FRAME_QUEUE_T* queue, uint32_t start, uint32_t i) {
    uint32_t size = queue->pQueHeader->bufsize;
    return queue->pBuffer[(static_cast<uint64_t>(start) + i) % size];
}

SS_BUF_T expectedHeader(int channel_id, const TestFrame& frame) {
    SS_BUF_T header;
    memset(&header, 0, sizeof header);
    header.channel_id = channel_id;
    header.media_type = frame.media_type;
    header.marker = kFrameMarker;
    header.frameinfo = frame.info;
    return header;
}

void QueueTest::createQueue(uint32_t size, int channel_id) {
    ASSERT_EQ(0, FrameQueue_Create(&fQueue, channel_id, size));
    fCreated = true;
}

void QueueTest::TearDown() {
    if (fCreated) FrameQueue_Destroy(&fQueue);
}
