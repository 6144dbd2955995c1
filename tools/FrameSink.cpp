#include "FrameSink.h"

#include "ConsoleOutput.h"

void FrameSink::pushVideo(ByteSpan unit, uint32_t frameType, int64_t stampUs) {
    push(NERIVO_MEDIA_VIDEO, unit, frameType, stampUs);
}

void FrameSink::pushAudio(ByteSpan frame, int64_t stampUs) {
    push(NERIVO_MEDIA_AUDIO, frame, 0, stampUs);
}

void FrameSink::push(uint32_t mediaType, ByteSpan data, uint32_t frameType, int64_t stampUs) {
    PUSH_FRAME_T frame{};
    frame.media_type = mediaType;
    frame.length = static_cast<uint32_t>(data.size);
    frame.frame_type = frameType;
    frame.data = data.data;
    frame.timestamp_sec = static_cast<uint32_t>(stampUs / 1000000);
    frame.timestamp_usec = static_cast<uint32_t>(stampUs % 1000000);
    int result = fPush(fChannelId, &frame);
    if (result != 0) report(result, mediaType);
}

void FrameSink::report(int result, uint32_t mediaType) {
    uint64_t failure = ++fFailures;
    if (failure > kReportedFailures) return;
    const char* what = mediaType == NERIVO_MEDIA_VIDEO ? "video" : "audio";
    printErrorLine("nerivo-serve: Nerivo_PushFrame(%d, %s) returned %d on channel %s%s", fChannelId, what,
                   result, fChannelName.c_str(),
                   failure == kReportedFailures ? " (further failures not shown)" : "");
}
