#include "media/LiveSource.h"

#include <new>

#include "media/LiveStreamSource.h"
#include "media/QueuePollSet.h"

LiveSource* LiveSource::createNew(UsageEnvironment& env, int channelId, MEDIA_DESC_T* mediaDesc,
                                  FRAME_QUEUE_T* videoQueue, FRAME_QUEUE_T* audioQueue,
                                  SERVER_CALLBACK callback, void* userPtr) {
    return new (std::nothrow)
        LiveSource(env, channelId, mediaDesc, videoQueue, audioQueue, callback, userPtr);
}

LiveSource::LiveSource(UsageEnvironment& env, int channelId, MEDIA_DESC_T* mediaDesc,
                       FRAME_QUEUE_T* videoQueue, FRAME_QUEUE_T* audioQueue, SERVER_CALLBACK callback,
                       void* userPtr)
    : Medium(env),
      fChannelId(channelId),
      fMediaDesc(mediaDesc),
      fVideoQueue(videoQueue),
      fAudioQueue(audioQueue),
      fCallback(callback),
      fUserPtr(userPtr),
      fPollSet(QueuePollSet::acquire(env)) {}

LiveSource::~LiveSource() {
    // Each stream source clears its pointer here as it goes.
    if (fVideoSource != nullptr) Medium::close(fVideoSource);
    if (fAudioSource != nullptr) Medium::close(fAudioSource);
    fVideoSource = nullptr;
    fAudioSource = nullptr;
    if (fPollSet != nullptr) fPollSet->release();
}

LiveVideoStreamSource* LiveSource::videoStreamSource() {
    if (fVideoSource == nullptr) fVideoSource = LiveVideoStreamSource::createNew(envir(), this);
    return fVideoSource;
}

LiveAudioStreamSource* LiveSource::audioStreamSource() {
    if (fAudioSource == nullptr) fAudioSource = LiveAudioStreamSource::createNew(envir(), this);
    return fAudioSource;
}

void LiveSource::notifyPlayOnce() {
    if (fPlayNotified) return;
    fPlayNotified = true;
    if (fCallback != nullptr) fCallback(fChannelId, CHANNEL_EVT_PLAY, fMediaDesc, fUserPtr);
}
