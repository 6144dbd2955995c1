// A channel's frames on the server thread: holds the channel's queues and
// makes at most one video and one audio stream source at a time. Tells the
// host once, at the first frame request, that the channel's frames are wanted.
#pragma once

#include "Nerivo.h"
#include "event/Medium.h"
#include "queue/FrameQueue.h"

class LiveVideoStreamSource;
class LiveAudioStreamSource;
class QueuePollSet;

class LiveSource : public Medium {
public:
    // The description and queues belong to the channel table, which keeps
    // them alive and in place while this object lives.
    static LiveSource* createNew(UsageEnvironment& env, int channelId, MEDIA_DESC_T* mediaDesc,
                                 FRAME_QUEUE_T* videoQueue, FRAME_QUEUE_T* audioQueue,
                                 SERVER_CALLBACK callback, void* userPtr);

    // The current stream source of its kind, made when there is none; null
    // when memory runs out.
    LiveVideoStreamSource* videoStreamSource();
    LiveAudioStreamSource* audioStreamSource();

    // Whether a stream source of that kind exists (a stream reads it).
    bool hasVideoStreamSource() const { return fVideoSource != nullptr; }
    bool hasAudioStreamSource() const { return fAudioSource != nullptr; }

    // CHANNEL_EVT_PLAY, once per live source.
    void notifyPlayOnce();

    FRAME_QUEUE_T* videoQueue() const { return fVideoQueue; }
    FRAME_QUEUE_T* audioQueue() const { return fAudioQueue; }
    MEDIA_DESC_T* mediaDesc() const { return fMediaDesc; }

protected:
    LiveSource(UsageEnvironment& env, int channelId, MEDIA_DESC_T* mediaDesc, FRAME_QUEUE_T* videoQueue,
               FRAME_QUEUE_T* audioQueue, SERVER_CALLBACK callback, void* userPtr);
    ~LiveSource() override;

private:
    friend class LiveStreamSource;
    friend class LiveVideoStreamSource;
    friend class LiveAudioStreamSource;

    bool fPlayNotified = false;
    int fChannelId;
    MEDIA_DESC_T* fMediaDesc;
    FRAME_QUEUE_T* fVideoQueue;
    FRAME_QUEUE_T* fAudioQueue;
    SERVER_CALLBACK fCallback;
    void* fUserPtr;
    LiveVideoStreamSource* fVideoSource = nullptr;
    LiveAudioStreamSource* fAudioSource = nullptr;
    QueuePollSet* fPollSet;  // shared by the environment's sources; null when it could not be made
};
