// Helpers shared by the frame queue tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "queue/FrameQueue.h"

constexpr uint32_t kHeaderBytes = sizeof(SS_BUF_T);
constexpr int kVideo = 1;
constexpr int kAudio = 2;

FRAME_INFO_T makeInfo(uint32_t length, uint32_t type = 0, uint32_t stamp = 0);

// Distinct, reproducible frame contents.
std::vector<uint8_t> framePattern(uint32_t length, uint32_t seed);

struct TestFrame {
    FRAME_INFO_T info;
    std::vector<uint8_t> data;
    int media_type;
};
TestFrame makeFrame(uint32_t length, uint32_t seed, uint32_t type = 0, int media_type = kAudio);

int writeFrame(FRAME_QUEUE_T* queue, const TestFrame& frame, int delete_history = 1);

// Expects the oldest frame to be `frame` and takes it out.
void expectNextFrame(FRAME_QUEUE_T* queue, const TestFrame& frame);

// Moves an empty queue's positions to `pos` (53 to bufsize) by passing one
// frame through it; for pos == bufsize, writepos stays at the end and readpos is 0.
void moveEmptyQueueTo(FRAME_QUEUE_T* queue, uint32_t pos);

// Byte i of a frame record laid round the data area from `start`.
uint8_t ringByte(const FRAME_QUEUE_T* queue, uint32_t start, uint32_t i);

SS_BUF_T expectedHeader(int channel_id, const TestFrame& frame);

// Owns a created queue for one test.
class QueueTest : public ::testing::Test {
protected:
    void createQueue(uint32_t size, int channel_id = 5);
    void TearDown() override;

    FRAME_QUEUE_T fQueue{};
    bool fCreated = false;
    QUEUE_HEADER_T& header() { return *fQueue.pQueHeader; }
};
