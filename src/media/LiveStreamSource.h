// Stream sources of a live channel: each frame request is answered by polling
// the channel's queue every millisecond and handing on one queued frame,
// unchanged. The first poll after a request is the source's own delayed task,
// a millisecond after it; while the queue then stays empty the source waits in
// the environment's poll set, which the next write into the queue wakes.
#pragma once

#include "media/QueuePollSet.h"
#include "queue/FrameQueue.h"
#include "rtp/FramedSource.h"

class LiveSource;

class LiveStreamSource : public FramedSource, public QueuePollSet::Waiter {
public:
    static constexpr unsigned kMaxFrameSize = 1048576;
    static constexpr int64_t kPollIntervalUs = 1000;

    unsigned maxFrameSize() const override { return kMaxFrameSize; }

protected:
    LiveStreamSource(UsageEnvironment& env, LiveSource* liveSource, int mediaKind);
    ~LiveStreamSource() override;

    void doGetNextFrame() override;
    void doStopGettingFrames() override;
    // 0 when a frame was placed at fTo; non-zero when none was taken.
    virtual int readFrame() = 0;
    int readFrameFrom(FRAME_QUEUE_T* queue);

    LiveSource* fLiveSource;
    int fMediaKind;  // 1 video, 2 audio

private:
    static void pollQueue(void* clientData);
    void queueReady() override;
    // Delivers a frame when one comes out of the queue, otherwise waits on.
    void tryDelivery();
    FRAME_QUEUE_T* queue() const;
};

class LiveVideoStreamSource : public LiveStreamSource {
public:
    static LiveVideoStreamSource* createNew(UsageEnvironment& env, LiveSource* liveSource);

protected:
    using LiveStreamSource::LiveStreamSource;
    ~LiveVideoStreamSource() override;
    int readFrame() override;
};

class LiveAudioStreamSource : public LiveStreamSource {
public:
    static LiveAudioStreamSource* createNew(UsageEnvironment& env, LiveSource* liveSource);

protected:
    using LiveStreamSource::LiveStreamSource;
    ~LiveAudioStreamSource() override;
    int readFrame() override;
};
