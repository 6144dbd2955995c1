#include <cstdint>
#include <cstring>

#include "log/Log.h"
#include "queue/FrameQueueInternal.h"

using frame_queue::kHeaderSize;
using frame_queue::publishHeldBytes;
using frame_queue::QueueLock;

namespace {

constexpr uint64_t H = kHeaderSize;

SS_BUF_T makeHeader(int channel_id, int media_type, const FRAME_INFO_T* frameinfo) {
    SS_BUF_T header;
    memset(&header, 0, sizeof header);
    header.channel_id = channel_id;
    header.media_type = media_type;
    header.marker = kFrameMarker;
    header.frameinfo = *frameinfo;
    return header;
}

void logOverflow(const char* format, const QUEUE_HEADER_T* header, uint32_t length) {
    if (header->totalsize > header->bufsize)
        Log_Write(LOG_ERROR, format, static_cast<int>(header->totalsize), static_cast<int>(header->bufsize),
                  static_cast<int>(length));
}

// Places header and data at writepos by the first case that applies; every
// case copies the header and the data once, each in at most two pieces.
void placeFrame(FRAME_QUEUE_T* pObj, const SS_BUF_T& frameHeader, const uint8_t* data) {
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    uint8_t* area = pObj->pBuffer;
    const uint8_t* headerBytes = reinterpret_cast<const uint8_t*>(&frameHeader);
    const uint32_t L = frameHeader.frameinfo.length;
    const uint32_t W = header->writepos;
    const uint32_t B = header->bufsize;

    if (static_cast<uint64_t>(W) + H + L <= B) {
        if (header->read_stamp == 0) header->read_stamp = frameHeader.frameinfo.stamp;
        memcpy(area + W, headerBytes, H);
        memcpy(area + W + H, data, L);
        header->writepos = static_cast<uint32_t>(W + H + L);
    } else if (W == B) {
        memcpy(area, headerBytes, H);
        memcpy(area + H, data, L);
        header->writepos = static_cast<uint32_t>(H + L);
        Log_Write(LOG_DEBUG, "从头开始写..  writepos: %d\n", static_cast<int>(header->writepos));
    } else if (B - W >= H) {
        memcpy(area + W, headerBytes, H);
        const uint32_t R = static_cast<uint32_t>(B - W - H);
        if (R > 0) {
            memcpy(area + W + H, data, R);
            memcpy(area, data + R, L - R);
            header->writepos = L - R;
            logOverflow("[RTSP Server已停止读取该队列]错误 %d > %d    frameinfo->length:%d...\n", header, L);
        } else {
            memcpy(area, data, L);
            header->writepos = L;
            if (header->totalsize > B)
                logOverflow("ERROR  222 %d > %d    frameinfo->length:%d...\n", header, L);
            else
                Log_Write(LOG_DEBUG, "22222Header位于缓存尾,帧数据位于缓存首..  writepos: %d\n",
                          static_cast<int>(header->writepos));
        }
    } else {
        const uint32_t atEnd = B - W;  // 1 to 51 header bytes before the end
        memcpy(area + W, headerBytes, atEnd);
        memcpy(area, headerBytes + atEnd, H - atEnd);
        memcpy(area + (H - atEnd), data, L);
        header->writepos = static_cast<uint32_t>(H - atEnd + L);
        logOverflow("ERROR 333 %d > %d    frameinfo->length:%d...\n", header, L);
    }
}

void setFullFlag(FRAME_QUEUE_T* pObj) {
    QueueLock lock(pObj);
    pObj->pQueHeader->full_flag = 1;
}

int failDeletion(FRAME_QUEUE_T* pObj) {
    Log_Write(LOG_DEBUG, "get frame data failed from queue.\n");
    setFullFlag(pObj);
    return -1000;
}

// Drops the oldest frames until more than `length` data bytes are gone and the
// oldest remaining frame has type byte 1, then stores the new frame behind them.
int deleteHistory(FRAME_QUEUE_T* pObj, int media_type, const FRAME_INFO_T* frameinfo, const uint8_t* data) {
    const int64_t length = frameinfo->length;
    Log_Write(LOG_DEBUG, "Delete the queue history......    Latest frame size: %d\n", static_cast<int>(length));
    int64_t droppedFrames = 0;
    int64_t droppedBytes = 0;
    bool waitingForKeyFrame = false;
    FRAME_INFO_T oldest;
    for (;;) {
        if (waitingForKeyFrame) {
            uint8_t type = 0;
            if (FrameQueue_Read(pObj, &oldest, &type, nullptr, 0, 0) < 0) return failDeletion(pObj);
            if (type == 1) {
                int result = FrameQueue_Write(pObj, pObj->channel_id, media_type, frameinfo, data, 0);
                Log_Write(LOG_DEBUG, "Total:   delete frames[%d] [%d]Bytes. Add latest frame %s   framesize[%d]\n",
                          static_cast<int>(droppedFrames), static_cast<int>(droppedBytes),
                          result == 0 ? "Success" : "fail", static_cast<int>(length));
                if (result >= 0) return result;
                setFullFlag(pObj);
                return -1000;
            }
        }
        if (FrameQueue_Read(pObj, &oldest, nullptr, nullptr, 0, 1) < 0) return failDeletion(pObj);
        droppedFrames += 1;
        droppedBytes += oldest.length;
        if (droppedBytes > length) waitingForKeyFrame = true;
    }
}

}  // namespace

int FrameQueue_Write(FRAME_QUEUE_T* pObj, int channel_id, int media_type, const FRAME_INFO_T* frameinfo,
                     const uint8_t* data, int delete_history) {
    if (pObj == nullptr || frameinfo == nullptr || data == nullptr || !frame_queue::isComplete(pObj)) return -1;
    const uint32_t L = frameinfo->length;
    const uint32_t B = pObj->pQueHeader->bufsize;  // fixed from creation on
    if (L == 0) return -1;
    if (L > B) {
        Log_Write(LOG_WARN, "Buffer too low.. Current Frame Size: %d\tBuffer Size: %d\n", static_cast<int>(L),
                  static_cast<int>(B));
        return -1;
    }

    uint32_t heldBytes = 0;
    uint32_t heldVideoFrames = 0;
    {
        QueueLock lock(pObj);
        QUEUE_HEADER_T* header = pObj->pQueHeader;
        if (static_cast<uint64_t>(header->totalsize) + L + H <= B) {
            header->full_flag = 0;
            if (media_type == 1) {
                FrameQueue_UpdateIndex(pObj, frameinfo);
                header->cache_frames += 1;
            }
            header->totalsize += static_cast<uint32_t>(H + L);
            placeFrame(pObj, makeHeader(channel_id, media_type, frameinfo), data);
            // Kept under the lock: several host threads may write one queue.
            header->write_stamp = frameinfo->stamp;
            if (L > header->max_frame_size) header->max_frame_size = L;
            publishHeldBytes(pObj);
            if (pObj->wake_armed) {
                pObj->wake_armed = false;
                pObj->wake(pObj->wake_context);
            }
            return 0;
        }
        heldBytes = header->totalsize;
        heldVideoFrames = header->cache_frames;
    }
    Log_Write(LOG_WARN, "Beyond the buffer size.. framesize:%d\ttotalsize:%d\tbufsize:%d  Cache Frames:%d\n",
              static_cast<int>(L), static_cast<int>(heldBytes), static_cast<int>(B), static_cast<int>(heldVideoFrames));
    if (delete_history != 1) return 0;
    return deleteHistory(pObj, media_type, frameinfo, data);
}
