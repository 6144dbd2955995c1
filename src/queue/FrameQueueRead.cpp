#include <cstdint>
#include <cstring>

#include "log/Log.h"
#include "queue/FrameQueueInternal.h"

using frame_queue::kHeaderSize;
using frame_queue::publishHeldBytes;
using frame_queue::QueueLock;

namespace {

constexpr uint64_t H = kHeaderSize;

// Where the caller wants the oldest frame delivered.
struct ReadTarget {
    FRAME_INFO_T* frameinfo;
    uint8_t* type_out;
    uint8_t* dest;
    uint32_t capacity;
};

// Copies the part of a piece that lands inside dest's capacity; offset is the
// piece's place within the frame.
void copyPiece(const ReadTarget& target, uint32_t offset, const uint8_t* piece, uint32_t length) {
    if (target.dest == nullptr || offset >= target.capacity) return;
    uint32_t room = target.capacity - offset;
    memcpy(target.dest + offset, piece, length < room ? length : room);
}

// A peek delivers the record only to callers that ask for the type.
void deliverPeekedRecord(const ReadTarget& target, const SS_BUF_T& frameHeader) {
    if (target.type_out == nullptr) return;
    *target.type_out = static_cast<uint8_t>(frameHeader.frameinfo.type & 0xFF);
    *target.frameinfo = frameHeader.frameinfo;
}

// Counts that cannot cover the frame; the bufsize bound keeps every copy inside
// the data area even when totalsize itself is wrong.
bool countsCoverFrame(const QUEUE_HEADER_T* header, uint32_t length) {
    uint64_t frameSize = H + length;
    return frameSize <= header->totalsize && frameSize <= header->bufsize;
}

// The frame's data lies in one piece but the byte counts do not cover it.
void logShortCounts(const QUEUE_HEADER_T* header, uint32_t length) {
    Log_Write(LOG_DEBUG, "数据量不够... 总字节数[%d]<帧长[%d]. 读位置:%d / %d\n", static_cast<int>(header->totalsize),
              static_cast<int>(length + H), static_cast<int>(header->readpos), static_cast<int>(header->bufsize));
}

void finishTakenFrame(QUEUE_HEADER_T* header, const SS_BUF_T& frameHeader) {
    if (frameHeader.media_type == 1 && header->cache_frames > 0) header->cache_frames -= 1;
}

void emptyAfterDamagedHeader(FRAME_QUEUE_T* pObj, const SS_BUF_T& frameHeader) {
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    Log_Write(LOG_ERROR, "标志位错误... 缓存视频帧:%d  字节数:%d  清空队列\n", static_cast<int>(header->cache_frames),
              static_cast<int>(header->totalsize));
    uint8_t marker[4];
    memcpy(marker, &frameHeader.marker, sizeof marker);
    Log_Write(LOG_ERROR, "%02X %02X %02X %02X\n", marker[3], marker[2], marker[1], marker[0]);
    FrameQueue_Clear(pObj);
    Log_Write(LOG_ERROR, "111标志位错误... 缓存视频帧:%d  字节数:%d\n", static_cast<int>(header->cache_frames),
              static_cast<int>(header->totalsize));
    Log_Write(LOG_ERROR, "标志位错误.. 清空队列..  readpos: %d\n", static_cast<int>(header->readpos));
}

int emptyAfterDamagedSplitHeader(FRAME_QUEUE_T* pObj) {
    FrameQueue_Clear(pObj);
    Log_Write(LOG_ERROR, "SSQ_标志符错误...\n");
    return -1;
}

// The data follows the header in one piece, or wraps to the start of the area.
int takeWholeFrame(FRAME_QUEUE_T* pObj, const ReadTarget& target, const SS_BUF_T& frameHeader) {
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    const uint8_t* area = pObj->pBuffer;
    const uint32_t B = header->bufsize;
    const uint32_t L = frameHeader.frameinfo.length;
    const uint32_t dataPos = static_cast<uint32_t>(header->readpos + H);  // at most B

    if (static_cast<uint64_t>(dataPos) + L <= B) {
        if (!countsCoverFrame(header, L)) {
            logShortCounts(header, L);
            return -1;
        }
        copyPiece(target, 0, area + dataPos, L);
        header->readpos = dataPos + L;
        header->totalsize -= static_cast<uint32_t>(H + L);
        if (header->readpos == B)
            header->readpos = 0;
        else if (header->readpos > B)
            Log_Write(LOG_ERROR, "读位置错误11111...: %d  /  %d\n", static_cast<int>(header->readpos),
                      static_cast<int>(B));
    } else {
        if (!countsCoverFrame(header, L)) {
            Log_Write(LOG_DEBUG, "总字节数<帧长+sizeof(SS_BUF_T)..\n");
            return -1;
        }
        const uint32_t R = B - dataPos;
        if (R == 0) {
            Log_Write(LOG_DEBUG, "111尾有部分数据... 首有部分数据... remain<=0: %d\n", static_cast<int>(R));
            copyPiece(target, 0, area, L);
            header->readpos = L;
        } else {
            copyPiece(target, 0, area + dataPos, R);
            copyPiece(target, R, area, L - R);
            header->readpos = L - R;
        }
        header->totalsize -= static_cast<uint32_t>(H + L);
        if (header->readpos > B)
            Log_Write(LOG_ERROR, "读位置错误...: %d  /  %d\n", static_cast<int>(header->readpos), static_cast<int>(B));
    }
    finishTakenFrame(header, frameHeader);
    return 0;
}

int readWholeHeader(FRAME_QUEUE_T* pObj, const ReadTarget& target, int consume) {
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    SS_BUF_T frameHeader;
    memcpy(&frameHeader, pObj->pBuffer + header->readpos, H);
    // Checked before anything of the header is trusted, in a peek too.
    if (frameHeader.marker != kFrameMarker) {
        emptyAfterDamagedHeader(pObj, frameHeader);
        return -1;
    }
    if (consume != 1) {
        deliverPeekedRecord(target, frameHeader);
    } else {
        *target.frameinfo = frameHeader.frameinfo;
        if (target.type_out != nullptr) *target.type_out = static_cast<uint8_t>(frameHeader.frameinfo.type & 0xFF);
        if (takeWholeFrame(pObj, target, frameHeader) != 0) return -1;
    }
    header->read_stamp = frameHeader.frameinfo.stamp;
    return 0;
}

// The header lies in two pieces: its first R bytes at the end, the rest at 0.
int readSplitHeader(FRAME_QUEUE_T* pObj, const ReadTarget& target, int consume) {
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    const uint8_t* area = pObj->pBuffer;
    const uint32_t B = header->bufsize;
    if (header->readpos > B) return emptyAfterDamagedSplitHeader(pObj);
    const uint32_t R = B - header->readpos;
    SS_BUF_T frameHeader;
    uint8_t* headerBytes = reinterpret_cast<uint8_t*>(&frameHeader);
    memcpy(headerBytes, area + header->readpos, R);
    memcpy(headerBytes + R, area, H - R);
    // Checked in a peek too, so that no damaged record is ever handed out.
    if (frameHeader.marker != kFrameMarker) return emptyAfterDamagedSplitHeader(pObj);
    if (consume != 1) {
        deliverPeekedRecord(target, frameHeader);
        return 1000;
    }
    *target.frameinfo = frameHeader.frameinfo;
    if (target.type_out != nullptr) *target.type_out = static_cast<uint8_t>(frameHeader.frameinfo.type & 0xFF);
    const uint32_t L = frameHeader.frameinfo.length;
    const uint32_t dataPos = static_cast<uint32_t>(H - R);
    if (!countsCoverFrame(header, L)) {
        logShortCounts(header, L);
        return -1;
    }
    copyPiece(target, 0, area + dataPos, L);
    header->readpos = dataPos + L;
    header->totalsize -= static_cast<uint32_t>(H + L);
    finishTakenFrame(header, frameHeader);
    return 1000;
}

}  // namespace

int FrameQueue_Read(FRAME_QUEUE_T* pObj, FRAME_INFO_T* frameinfo, uint8_t* type_out, uint8_t* dest,
                    uint32_t capacity, int consume) {
    if (pObj == nullptr || frameinfo == nullptr || !frame_queue::isComplete(pObj)) return -1;
    // The idle poll ends here without the lock.
    if (FrameQueue_IsEmpty(pObj)) return -1;

    QueueLock lock(pObj);
    QUEUE_HEADER_T* header = pObj->pQueHeader;
    if (header->totalsize <= H) return -1;
    if (header->readpos == header->bufsize) {
        Log_Write(LOG_INFO, "重置读位置[%d / %d]..\n", static_cast<int>(header->readpos),
                  static_cast<int>(header->bufsize));
        header->readpos = 0;
    }
    ReadTarget target{frameinfo, type_out, dest, capacity};
    int result = static_cast<uint64_t>(header->readpos) + H > header->bufsize ? readSplitHeader(pObj, target, consume)
                                                                              : readWholeHeader(pObj, target, consume);
    publishHeldBytes(pObj);
    return result;
}
