#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "log/PageBlock.h"
#include "queue/FrameQueueInternal.h"

using frame_queue::publishHeldBytes;

namespace {

std::atomic<int> gFailingAllocationStep{0};

// Counts down the test hook; true when this allocation step is the one to fail.
bool allocationStepFails() {
    int step = gFailingAllocationStep.load();
    while (step > 0) {
        if (gFailingAllocationStep.compare_exchange_weak(step, step - 1)) return step == 1;
    }
    return false;
}

NAMED_MUTEX_T* openChannelLock(int channel_id) {
    if (allocationStepFails()) return nullptr;
    // Named after the channel alone, so a channel's video and audio queues share it.
    char name[64];
    snprintf(name, sizeof name, "(null)%d_mutex", channel_id);
    return NamedMutex_Open(name);
}

template <typename T>
T* allocateZeroed(size_t count) {
    if (allocationStepFails()) return nullptr;
    return new (std::nothrow) T[count]();
}

uint8_t* allocateBuffer(uint32_t size) {
    if (allocationStepFails()) return nullptr;
    return PageBlock_Allocate(size);
}

void resetObject(FRAME_QUEUE_T* pObj) {
    pObj->pLock = nullptr;
    pObj->pQueHeader = nullptr;
    pObj->pBuffer = nullptr;
    pObj->pFrameIndex = nullptr;
    pObj->area_bytes = 0;
    pObj->wake_armed = false;
    pObj->wake = nullptr;
    pObj->wake_context = nullptr;
    pObj->held_bytes.store(0, std::memory_order_release);
}

}  // namespace

int FrameQueue_Create(FRAME_QUEUE_T* pObj, int channel_id, uint32_t size) {
    if (pObj == nullptr) return -1;
    resetObject(pObj);
    pObj->channel_id = channel_id;

    pObj->pLock = openChannelLock(channel_id);
    if (pObj->pLock == nullptr) return -1;
    pObj->pQueHeader = allocateZeroed<QUEUE_HEADER_T>(1);
    if (pObj->pQueHeader != nullptr) pObj->pFrameIndex = allocateZeroed<FRAME_INDEX_T>(kFrameIndexCapacity);
    if (pObj->pFrameIndex != nullptr) pObj->pBuffer = allocateBuffer(size);
    if (pObj->pBuffer != nullptr) pObj->area_bytes = size;
    if (pObj->pBuffer == nullptr) {
        // Leave nothing half made: a hollow object is refused by every operation.
        FrameQueue_Destroy(pObj);
        return -1;
    }
    pObj->pQueHeader->index_capacity = kFrameIndexCapacity;
    pObj->pQueHeader->bufsize = size;
    return 0;
}

int FrameQueue_Destroy(FRAME_QUEUE_T* pObj) {
    if (pObj == nullptr) return -1;
    NamedMutex_Close(pObj->pLock);
    PageBlock_Free(pObj->pBuffer, pObj->area_bytes);
    delete[] pObj->pQueHeader;
    delete[] pObj->pFrameIndex;
    resetObject(pObj);
    return 0;
}

int FrameQueue_Clear(FRAME_QUEUE_T* pObj) {
    if (pObj == nullptr || pObj->pBuffer == nullptr || pObj->pQueHeader == nullptr) return -1;
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    header->writepos = 0;
    header->readpos = 0;
    header->totalsize = 0;
    header->cache_frames = 0;
    header->index_valid = 0;
    header->index_count = 0;
    memset(pObj->pBuffer, 0, header->bufsize);
    publishHeldBytes(pObj);
    return 0;
}

int FrameQueue_UpdateIndex(FRAME_QUEUE_T* pObj, const FRAME_INFO_T* frameinfo) {
    if (pObj == nullptr || pObj->pQueHeader == nullptr || pObj->pFrameIndex == nullptr || frameinfo == nullptr)
        return -1;
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    FRAME_INDEX_T* index = pObj->pFrameIndex;
    // Bounded by the array we own whatever the header says.
    uint32_t capacity = header->index_capacity < kFrameIndexCapacity ? header->index_capacity : kFrameIndexCapacity;
    if (capacity == 0) return -1;
    if (header->index_count + 1 > capacity) {
        memmove(&index[0], &index[1], (capacity - 1) * sizeof(FRAME_INDEX_T));
        header->index_count = capacity - 1;
    }
    FRAME_INDEX_T& entry = index[header->index_count];
    entry.writepos = header->writepos;
    entry.stamp = frameinfo->stamp;
    entry.timestamp_sec = frameinfo->timestamp_sec;
    entry.timestamp_usec = frameinfo->timestamp_usec;
    header->index_count += 1;
    header->index_valid = header->index_count;
    return 0;
}

int FrameQueue_ArmWake(FRAME_QUEUE_T* pObj, void (*wake)(void* context), void* context) {
    if (pObj == nullptr || wake == nullptr || !frame_queue::isComplete(pObj)) return -1;
    frame_queue::QueueLock lock(pObj);
    if (pObj->pQueHeader->totalsize > frame_queue::kHeaderSize) return 0;
    pObj->wake = wake;
    pObj->wake_context = context;
    pObj->wake_armed = true;
    return 1;
}

int FrameQueue_DisarmWake(FRAME_QUEUE_T* pObj) {
    if (pObj == nullptr || !frame_queue::isComplete(pObj)) return -1;
    frame_queue::QueueLock lock(pObj);
    pObj->wake_armed = false;
    return 0;
}

bool FrameQueue_IsEmpty(const FRAME_QUEUE_T* pObj) {
    return pObj == nullptr || pObj->held_bytes.load(std::memory_order_acquire) <= frame_queue::kHeaderSize;
}

void FrameQueue_FailAllocationForTest(int nth) { gFailingAllocationStep.store(nth > 0 ? nth : 0); }
