#include "media/LiveStreamSource.h"

#include <sys/time.h>

#include <new>

#include "media/LiveSource.h"

LiveStreamSource::LiveStreamSource(UsageEnvironment& env, LiveSource* liveSource, int mediaKind)
    : FramedSource(env), fLiveSource(liveSource), fMediaKind(mediaKind) {}

LiveStreamSource::~LiveStreamSource() {
    if (fLiveSource->fPollSet != nullptr) fLiveSource->fPollSet->unpark(this);
}

void LiveStreamSource::doGetNextFrame() {
    fLiveSource->notifyPlayOnce();
    // Every delivery goes through one poll at least a millisecond after the
    // request, also when a frame is already waiting.
    if (isCurrentlyAwaitingData())
        nextTask() = envir().taskScheduler().scheduleDelayedTask(kPollIntervalUs, pollQueue, this);
}

void LiveStreamSource::doStopGettingFrames() {
    if (fLiveSource->fPollSet != nullptr) fLiveSource->fPollSet->unpark(this);
    FramedSource::doStopGettingFrames();
}

void LiveStreamSource::pollQueue(void* clientData) {
    auto* source = static_cast<LiveStreamSource*>(clientData);
    source->nextTask() = nullptr;
    source->tryDelivery();
}

void LiveStreamSource::queueReady() { tryDelivery(); }

void LiveStreamSource::tryDelivery() {
    if (readFrame() == 0) {
        FramedSource::afterGetting(this);
        return;
    }
    if (!isCurrentlyAwaitingData()) return;
    QueuePollSet* pollSet = fLiveSource->fPollSet;
    if (pollSet != nullptr) {
        if (!QueuePollSet::isParked(this)) pollSet->park(this, queue());
    } else {
        // Without the shared set (it could not be made) the source keeps its own timer.
        nextTask() = envir().taskScheduler().scheduleDelayedTask(kPollIntervalUs, pollQueue, this);
    }
}

FRAME_QUEUE_T* LiveStreamSource::queue() const {
    return fMediaKind == 1 ? fLiveSource->videoQueue() : fLiveSource->audioQueue();
}

int LiveStreamSource::readFrameFrom(FRAME_QUEUE_T* queue) {
    if (queue == nullptr) return -1;
    // An empty queue is told apart without its lock: idle channels stay cheap.
    if (FrameQueue_IsEmpty(queue)) return -1;
    FRAME_INFO_T info{};
    int result = FrameQueue_Read(queue, &info, nullptr, fTo, fMaxSize, 1);
    if (result < 0) return result;
    if (info.timestamp_sec != 0 || info.timestamp_usec != 0) {
        fPresentationTime.tv_sec = info.timestamp_sec;
        fPresentationTime.tv_usec = info.timestamp_usec;
    } else {
        gettimeofday(&fPresentationTime, nullptr);
    }
    if (info.length <= fMaxSize) {
        fFrameSize = info.length;
        fNumTruncatedBytes = 0;
    } else {
        fFrameSize = fMaxSize;
        fNumTruncatedBytes = info.length - fMaxSize;
    }
    return 0;
}

LiveVideoStreamSource* LiveVideoStreamSource::createNew(UsageEnvironment& env, LiveSource* liveSource) {
    return new (std::nothrow) LiveVideoStreamSource(env, liveSource, 1);
}

LiveVideoStreamSource::~LiveVideoStreamSource() { fLiveSource->fVideoSource = nullptr; }

int LiveVideoStreamSource::readFrame() { return readFrameFrom(fLiveSource->videoQueue()); }

LiveAudioStreamSource* LiveAudioStreamSource::createNew(UsageEnvironment& env, LiveSource* liveSource) {
    return new (std::nothrow) LiveAudioStreamSource(env, liveSource, 2);
}

LiveAudioStreamSource::~LiveAudioStreamSource() { fLiveSource->fAudioSource = nullptr; }

int LiveAudioStreamSource::readFrame() { return readFrameFrom(fLiveSource->audioQueue()); }
