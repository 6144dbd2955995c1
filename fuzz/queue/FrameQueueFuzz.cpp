// Drives a small frame queue with writes, reads, peeks and clears decoded from
// the input and checks it against a model of the frames it should hold.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "queue/FrameQueue.h"

namespace {

constexpr uint32_t H = sizeof(SS_BUF_T);

struct ModelFrame {
    FRAME_INFO_T info;
    int media_type;
};

void fail(const char* what) {
    fprintf(stderr, "frame queue invariant broken: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : fData(data), fSize(size) {}
    bool done() const { return fPos >= fSize; }
    uint8_t byte() { return fPos < fSize ? fData[fPos++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }

private:
    const uint8_t* fData;
    size_t fSize;
    size_t fPos = 0;
};

void fillData(std::vector<uint8_t>& data, uint32_t seed, uint32_t length) {
    data.resize(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(state >> 24);
    }
}

class QueueDriver {
public:
    explicit QueueDriver(uint32_t size) : fSize(size) {
        check(FrameQueue_Create(&fQueue, 3, size) == 0, "create");
    }
    ~QueueDriver() { FrameQueue_Destroy(&fQueue); }

    void write(Input& in) {
        uint32_t length = 1 + in.word() % (fSize + 8);
        uint8_t flags = in.byte();
        FRAME_INFO_T info{};
        info.type = (flags & 3u) | ((flags & 4u) << 6);  // sometimes an upper byte as well
        info.length = length;
        info.stamp = ++fSeq;
        info.timestamp_sec = fSeq * 3;
        int media = (flags & 8) ? 1 : 2;
        int deleteHistory = (flags & 16) ? 1 : 0;
        fillData(fData, info.stamp, length);
        int result = FrameQueue_Write(&fQueue, 3, media, &info, fData.data(), deleteHistory);
        check(result == expectWrite(ModelFrame{info, media}, deleteHistory), "write result");
        if (result == 0 && length <= fSize && fHeld.size() > 0 && fHeld.back().info.stamp == info.stamp)
            check(fQueue.pQueHeader->full_flag == 0, "full_flag after a stored frame");
        if (result == -1000) check(fQueue.pQueHeader->full_flag == 1, "full_flag after -1000");
    }

    void read(Input& in, bool consume, bool withType, bool withDest) {
        uint32_t capacity = in.byte() * 24u;
        std::vector<uint8_t> dest(capacity + 4, 0xA5);
        FRAME_INFO_T info;
        memset(&info, 0x5A, sizeof info);
        const FRAME_INFO_T untouched = info;
        uint8_t type = 0x77;
        uint32_t readpos = fQueue.pQueHeader->readpos % fSize;
        bool split = readpos + H > fSize;
        int result = FrameQueue_Read(&fQueue, &info, withType ? &type : nullptr, withDest ? dest.data() : nullptr,
                                     capacity, consume ? 1 : 0);
        if (fHeld.empty()) {
            check(result == -1, "read from an empty queue");
            return;
        }
        check(result == (split ? 1000 : 0), "read result");
        const ModelFrame& oldest = fHeld.front();
        bool delivered = consume || withType;
        check(memcmp(&info, delivered ? &oldest.info : &untouched, sizeof info) == 0, "frame record");
        check(type == (withType ? (oldest.info.type & 0xFF) : 0x77), "type byte");
        if (withDest) checkDest(dest, consume ? oldest.info.length : 0, capacity, oldest.info.stamp);
        if (consume) dropOldest();
    }

    void clear() {
        check(FrameQueue_Clear(&fQueue) == 0, "clear");
        fHeld.clear();
        fHeldBytes = 0;
    }

    void checkInvariants() const {
        const QUEUE_HEADER_T* header = fQueue.pQueHeader;
        check(header->bufsize == fSize, "bufsize");
        check(header->totalsize <= header->bufsize, "totalsize within bufsize");
        check(header->totalsize == fHeldBytes, "totalsize matches the frames held");
        check(header->readpos <= fSize && header->writepos <= fSize, "positions within the area");
        check((header->readpos + header->totalsize) % fSize == header->writepos % fSize, "frames back to back");
        uint32_t video = 0;
        for (const ModelFrame& frame : fHeld) video += frame.media_type == 1;
        check(header->cache_frames == video, "cache_frames");
        check(header->index_count <= kFrameIndexCapacity && header->index_valid == header->index_count, "index");
        check(FrameQueue_IsEmpty(&fQueue) == fHeld.empty(), "IsEmpty");
    }

private:
    int expectWrite(const ModelFrame& frame, int deleteHistory) {
        const uint32_t length = frame.info.length;
        if (length > fSize) return -1;
        if (fits(length)) return store(frame);
        if (deleteHistory != 1) return 0;
        int64_t droppedBytes = 0;
        bool waitingForKeyFrame = false;
        for (;;) {
            if (waitingForKeyFrame) {
                if (fHeld.empty()) return -1000;
                if ((fHeld.front().info.type & 0xFF) == 1) {
                    check(fits(length), "room made by the deletion");
                    return store(frame);
                }
            }
            if (fHeld.empty()) return -1000;
            droppedBytes += fHeld.front().info.length;
            dropOldest();
            if (droppedBytes > length) waitingForKeyFrame = true;
        }
    }

    bool fits(uint32_t length) const { return fHeldBytes + H + length <= fSize; }

    int store(const ModelFrame& frame) {
        fHeld.push_back(frame);
        fHeldBytes += H + frame.info.length;
        return 0;
    }

    void dropOldest() {
        fHeldBytes -= H + fHeld.front().info.length;
        fHeld.pop_front();
    }

    void checkDest(const std::vector<uint8_t>& dest, uint32_t length, uint32_t capacity, uint32_t seed) {
        uint32_t copied = length < capacity ? length : capacity;
        fillData(fData, seed, copied);
        check(memcmp(dest.data(), fData.data(), copied) == 0, "frame data");
        for (size_t i = copied; i < dest.size(); ++i) check(dest[i] == 0xA5, "bytes beyond the copy untouched");
    }

    const uint32_t fSize;
    FRAME_QUEUE_T fQueue{};
    std::deque<ModelFrame> fHeld;
    uint64_t fHeldBytes = 0;
    uint32_t fSeq = 0;
    std::vector<uint8_t> fData;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The queue logs every overflow; keep standard output quiet.
    int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    uint32_t queueSize = 64 + in.word() % (4096 - 64 + 1);
    QueueDriver driver(queueSize);
    while (!in.done()) {
        switch (in.byte() % 7) {
            case 0:
            case 1: driver.write(in); break;
            case 2: driver.read(in, true, false, true); break;
            case 3: driver.read(in, true, true, false); break;
            case 4: driver.read(in, false, true, true); break;
            case 5: driver.read(in, false, false, true); break;
            default: driver.clear(); break;
        }
        driver.checkInvariants();
    }
    return 0;
}
