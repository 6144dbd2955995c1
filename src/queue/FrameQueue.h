// The frame queue: a bounded ring of encoded frames between the threads that
// push a channel's frames and the server thread that sends them. Each frame is
// stored as a 52-byte SS_BUF_T followed by its data, back to back round the data
// area; a frame, or even its header, may wrap to the start of the area.
#pragma once

#include <atomic>
#include <cstdint>

struct NAMED_MUTEX_T;

// Frame record that travels with each frame (copied in by the writer, out by the reader).
struct FRAME_INFO_T {
    uint32_t codec;
    uint32_t type;  // only the low byte counts; 1 stops the history deletion
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t reserved3;
    uint32_t length;  // frame data bytes
    uint32_t stamp;
    uint32_t timestamp_sec;
    uint32_t timestamp_usec;
};

// Header stored in the data area in front of every frame.
struct SS_BUF_T {
    int32_t channel_id;
    int32_t media_type;  // 1 = video, anything else audio
    uint32_t marker;     // kFrameMarker when the header is sound
    FRAME_INFO_T frameinfo;
    uint8_t reserved[4];
};

struct QUEUE_HEADER_T {
    uint32_t bufsize;
    uint32_t writepos;  // where the next frame's SS_BUF_T goes; bufsize stands for 0
    uint32_t readpos;   // where the oldest unread frame begins; bufsize stands for 0
    uint32_t totalsize; // 52 + length for every frame held
    uint32_t cache_frames;  // video frames held
    uint32_t full_flag;     // 1 after a write that could not make room
    uint32_t clear_flag;
    uint32_t index_capacity;
    uint32_t index_valid;
    uint32_t index_count;
    uint32_t max_frame_size;
    uint32_t read_stamp;
    uint32_t write_stamp;
};

// One entry of the index of recent video frames.
struct FRAME_INDEX_T {
    uint32_t writepos;  // taken before the frame was placed, so it may equal bufsize
    uint32_t stamp;
    uint32_t timestamp_sec;
    uint32_t timestamp_usec;
};

static_assert(sizeof(FRAME_INFO_T) == 36, "FRAME_INFO_T is 36 bytes");
static_assert(sizeof(SS_BUF_T) == 52, "SS_BUF_T is 52 bytes");
static_assert(sizeof(QUEUE_HEADER_T) == 52, "QUEUE_HEADER_T is 52 bytes");
static_assert(sizeof(FRAME_INDEX_T) == 16, "FRAME_INDEX_T is 16 bytes");

constexpr uint32_t kFrameMarker = 0x0FFFFFFF;
constexpr uint32_t kFrameIndexCapacity = 30;

// Caller-allocated (value-initialised); FrameQueue_Create fills it, FrameQueue_Destroy
// frees what it points to.
struct FRAME_QUEUE_T {
    int32_t channel_id;
    NAMED_MUTEX_T* pLock;  // shared by every queue of the same channel id
    QUEUE_HEADER_T* pQueHeader;
    uint8_t* pBuffer;  // bufsize bytes
    FRAME_INDEX_T* pFrameIndex;  // kFrameIndexCapacity entries
    // Mirror of totalsize, stored under the lock after every change, so that an
    // empty queue can be polled without taking the lock.
    std::atomic<uint32_t> held_bytes;
    // Size the data area was made with, kept apart from the header, which the
    // queue's users may write to.
    uint32_t area_bytes;
    // Wake-up of a reader that waits on the empty queue (see FrameQueue_ArmWake);
    // guarded by the lock.
    bool wake_armed;
    void (*wake)(void* context);
    void* wake_context;
};

// 0; -1 when pObj is null or the lock or any part of the queue cannot be made
// (the object then holds only its channel id and every operation refuses it).
int FrameQueue_Create(FRAME_QUEUE_T* pObj, int channel_id, uint32_t size);
// 0; -1 when pObj is null.
int FrameQueue_Destroy(FRAME_QUEUE_T* pObj);
// Empties the queue and zero-fills its data area. Called with the lock held.
int FrameQueue_Clear(FRAME_QUEUE_T* pObj);
// Records a video frame about to be placed at writepos. Called with the lock held.
int FrameQueue_UpdateIndex(FRAME_QUEUE_T* pObj, const FRAME_INFO_T* frameinfo);

// 0 stored (or dropped when it does not fit and delete_history is not 1);
// -1 bad arguments, length 0 or longer than the data area;
// -1000 no room could be made by deleting history (full_flag is set).
int FrameQueue_Write(FRAME_QUEUE_T* pObj, int channel_id, int media_type, const FRAME_INFO_T* frameinfo,
                     const uint8_t* data, int delete_history);

// Takes out (consume 1) or peeks at the oldest frame. dest receives at most
// capacity bytes of it; a longer frame is cut, yet leaves the queue whole, and
// frameinfo->length tells its full length. 0 delivered; 1000 delivered, its
// header lay split across the end; -1 no frame (empty, bad arguments, damaged
// header: the queue was emptied, or counts that do not cover the frame).
int FrameQueue_Read(FRAME_QUEUE_T* pObj, FRAME_INFO_T* frameinfo, uint8_t* type_out, uint8_t* dest,
                    uint32_t capacity, int consume);

// Wake-up for a reader that would rather not poll: while the queue is empty,
// the next write that stores a frame calls wake(context) once, on the writer's
// thread with the lock held (so it must be short and must not touch the queue).
// 1 armed; 0 the queue holds a frame already (nothing armed); -1 bad arguments.
// The reader disarms before the context goes away; disarming takes the lock, so
// no write is still calling it once FrameQueue_DisarmWake returns.
int FrameQueue_ArmWake(FRAME_QUEUE_T* pObj, void (*wake)(void* context), void* context);
int FrameQueue_DisarmWake(FRAME_QUEUE_T* pObj);

// True when the queue holds no frame; takes no lock (a null or hollow queue is empty).
bool FrameQueue_IsEmpty(const FRAME_QUEUE_T* pObj);

// Test hook: the nth allocation step of creation from now on fails (1 = the next;
// the steps are the lock, the header, the index and the data area); 0 disables it.
void FrameQueue_FailAllocationForTest(int nth);
