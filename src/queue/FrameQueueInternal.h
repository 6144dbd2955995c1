// Pieces shared by the queue's lifecycle, writer and reader.
#pragma once

#include <cstring>

#include "queue/FrameQueue.h"
#include "queue/NamedMutex.h"

namespace frame_queue {

constexpr uint32_t kHeaderSize = sizeof(SS_BUF_T);

// Holds the queue's lock for a scope.
class QueueLock {
public:
    explicit QueueLock(FRAME_QUEUE_T* queue) : fLock(queue->pLock) { NamedMutex_Wait(fLock); }
    ~QueueLock() { NamedMutex_Release(fLock); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

private:
    NAMED_MUTEX_T* fLock;
};

// Publishes totalsize to the lock-free emptiness test. Called with the lock held.
inline void publishHeldBytes(FRAME_QUEUE_T* queue) {
    queue->held_bytes.store(queue->pQueHeader->totalsize, std::memory_order_release);
}

inline bool isComplete(const FRAME_QUEUE_T* queue) {
    return queue->pLock != nullptr && queue->pQueHeader != nullptr && queue->pBuffer != nullptr &&
           queue->pFrameIndex != nullptr;
}

}  // namespace frame_queue
