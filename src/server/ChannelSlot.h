// The server's record of one channel: what the host declared, the description
// it last returned, the channel's two frame queues and its live source.
#pragma once

#include <atomic>
#include <mutex>

#include "Nerivo.h"
#include "queue/FrameQueue.h"

class LiveSource;

constexpr uint32_t kVideoQueueBytes = 0x300000;
constexpr uint32_t kAudioQueueBytes = 0x20000;

struct CHANNEL_SLOT_T {
    CHANNEL_INFO_T info;              // never changed after the table is built
    std::atomic<int32_t> reset_flag;  // 1: a reset waits for the next sweep
    MEDIA_DESC_T media_desc;          // written by the server thread under `guard`
    FRAME_QUEUE_T* video_queue;       // replaced by the server thread under `guard`
    FRAME_QUEUE_T* audio_queue;
    LiveSource* live_source;          // server thread only; not owned

    // Server thread's view for host threads: a session is registered under
    // the channel's stream name.
    std::atomic<bool> has_session;
    // A reset of a channel without a session: the description is cleared by
    // the server thread at its next sweep.
    std::atomic<bool> clear_desc_pending;
    // Host threads read the queues and the codecs under it; the server thread
    // takes it to replace queues or rewrite the description.
    std::mutex guard;
};
