// Pushes one channel's frames and reports unexpected push results (the first
// few only, so that a stuck channel cannot flood the console).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ByteSpan.h"
#include "Nerivo.h"

// Nerivo_PushFrame, or a stand-in in tests.
using PushFunction = int (*)(int channel_id, const PUSH_FRAME_T* frame);

class FrameSink {
public:
    static constexpr unsigned kReportedFailures = 5;

    FrameSink(PushFunction push, int channelId, std::string channelName)
        : fPush(push), fChannelId(channelId), fChannelName(std::move(channelName)) {}

    // One NAL unit without start code; stampUs is wall-clock microseconds.
    void pushVideo(ByteSpan unit, uint32_t frameType, int64_t stampUs);
    // One audio frame.
    void pushAudio(ByteSpan frame, int64_t stampUs);

    uint64_t failures() const { return fFailures.load(); }

private:
    void push(uint32_t mediaType, ByteSpan data, uint32_t frameType, int64_t stampUs);
    void report(int result, uint32_t mediaType);

    PushFunction fPush;
    int fChannelId;
    std::string fChannelName;
    std::atomic<uint64_t> fFailures{0};
};
