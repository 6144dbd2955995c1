// Several host threads write while one reader drains, for about three seconds:
// a video and an audio queue of one channel (one shared lock) with a writer each,
// and a third queue shared by two writers. Every frame read must be intact and
// in order per writer; frames may go missing only through history deletion.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "QueueTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunTime = std::chrono::milliseconds(3000);
constexpr uint32_t kStampBytes = 12;  // writer id, sequence number, length

struct WriterPlan {
    uint32_t id;
    int queue;  // index into the queues
    int media_type;
    uint32_t maxLength;
    uint32_t keyEvery;  // every n-th frame has type 1
};

struct WriterResult {
    uint64_t written = 0;
    std::vector<uint8_t> refused;  // per sequence number: 1 when the write returned -1000
};

struct ReaderResult {
    uint64_t frames = 0;
    uint64_t faults = 0;  // intact-check failures, kept as a count to stay off gtest across threads
    std::string firstFault;
    std::vector<std::vector<uint32_t>> seen;  // per writer, sequence numbers in read order
};

void fillFrame(uint8_t* data, uint32_t writer, uint32_t seq, uint32_t length) {
    memcpy(data, &writer, 4);
    memcpy(data + 4, &seq, 4);
    memcpy(data + 8, &length, 4);
    uint32_t state = writer * 7919u + seq * 104729u;
    for (uint32_t i = kStampBytes; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<uint8_t>(state >> 24);
    }
}

void runWriter(FRAME_QUEUE_T* queue, const WriterPlan& plan, Clock::time_point end, WriterResult* result) {
    std::mt19937 random(plan.id);
    std::vector<uint8_t> data(plan.maxLength);
    for (uint32_t seq = 0; Clock::now() < end; ++seq) {
        uint32_t length = kStampBytes + random() % (plan.maxLength - kStampBytes + 1);
        fillFrame(data.data(), plan.id, seq, length);
        FRAME_INFO_T info = makeInfo(length, seq % plan.keyEvery == 0 ? 1 : 0, seq);
        info.codec = plan.id;
        int rc = FrameQueue_Write(queue, queue->channel_id, plan.media_type, &info, data.data(), 1);
        result->written += 1;
        result->refused.push_back(rc == -1000 ? 1 : 0);
        if (seq % 16 == 0) std::this_thread::yield();
    }
}

std::string checkFrame(const FRAME_INFO_T& info, const uint8_t* data, uint32_t capacity, size_t writers,
                       std::vector<uint8_t>& expected) {
    if (info.length < kStampBytes || info.length > capacity) return "bad length " + std::to_string(info.length);
    uint32_t writer, seq, length;
    memcpy(&writer, data, 4);
    memcpy(&seq, data + 4, 4);
    memcpy(&length, data + 8, 4);
    if (writer >= writers || length != info.length || seq != info.stamp || writer != info.codec)
        return "record and data disagree at writer " + std::to_string(writer);
    fillFrame(expected.data(), writer, seq, length);
    if (memcmp(expected.data(), data, length) != 0) return "data damaged at seq " + std::to_string(seq);
    return std::string();
}

void runReader(std::vector<FRAME_QUEUE_T*> queues, size_t writers, const std::atomic<bool>* writing,
               ReaderResult* result) {
    const uint32_t capacity = 8192;
    std::vector<uint8_t> dest(capacity), expected(capacity);
    result->seen.resize(writers);
    for (uint64_t polls = 0;; ++polls) {
        bool stillWriting = writing->load(std::memory_order_acquire);
        bool anyFrame = false;
        for (FRAME_QUEUE_T* queue : queues) {
            if (FrameQueue_IsEmpty(queue)) continue;
            FRAME_INFO_T info{};
            int rc = FrameQueue_Read(queue, &info, nullptr, dest.data(), capacity, 1);
            if (rc < 0) continue;  // history deletion may have taken it meanwhile
            anyFrame = true;
            result->frames += 1;
            std::string fault = checkFrame(info, dest.data(), capacity, writers, expected);
            if (fault.empty()) {
                uint32_t writer;
                memcpy(&writer, dest.data(), 4);
                std::vector<uint32_t>& seen = result->seen[writer];
                if (!seen.empty() && info.stamp <= seen.back()) fault = "out of order for writer " + std::to_string(writer);
                seen.push_back(info.stamp);
            }
            if (!fault.empty() && result->faults++ == 0) result->firstFault = fault;
        }
        if (!stillWriting && !anyFrame) return;
        // Pause now and then so that the queues fill up and history gets deleted.
        if (polls % 4096 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

size_t countLinesStartingWith(const std::vector<LogLine>& lines, const std::string& prefix) {
    size_t count = 0;
    for (const LogLine& line : lines)
        if (line.text.compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}

uint64_t sumDeletedFrames(const std::vector<LogLine>& lines) {
    uint64_t sum = 0;
    for (const LogLine& line : lines) {
        unsigned frames = 0;
        if (sscanf(line.text.c_str(), "Total:   delete frames[%u]", &frames) == 1) sum += frames;
    }
    return sum;
}

// Captures standard output into a temporary file: the deletions log a lot.
class FileLogCapture {
public:
    FileLogCapture() {
        fFile = tmpfile();
        fflush(stdout);
        fSaved = dup(STDOUT_FILENO);
        dup2(fileno(fFile), STDOUT_FILENO);
    }
    std::vector<LogLine> finish() {
        fflush(stdout);
        dup2(fSaved, STDOUT_FILENO);
        close(fSaved);
        std::string output;
        rewind(fFile);
        char chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, fFile)) > 0) output.append(chunk, n);
        fclose(fFile);
        return parseLogOutput(output, false);
    }

private:
    FILE* fFile = nullptr;
    int fSaved = -1;
};

TEST(FrameQueueStress, WritersAndReaderKeepEveryFrameIntactAndInOrder) {
    FRAME_QUEUE_T video{}, audio{}, shared{};
    ASSERT_EQ(0, FrameQueue_Create(&video, 1, 64 * 1024));
    ASSERT_EQ(0, FrameQueue_Create(&audio, 1, 16 * 1024));
    ASSERT_EQ(0, FrameQueue_Create(&shared, 2, 64 * 1024));
    std::vector<FRAME_QUEUE_T*> queues{&video, &audio, &shared};
    const std::vector<WriterPlan> plans{
        {0, 0, kVideo, 6000, 5}, {1, 1, kAudio, 800, 10}, {2, 2, kVideo, 4000, 4}, {3, 2, kVideo, 4000, 6}};

    std::vector<WriterResult> written(plans.size());
    ReaderResult read;
    std::atomic<bool> writing{true};
    FileLogCapture capture;
    {
        Clock::time_point end = Clock::now() + kRunTime;
        std::thread reader(runReader, queues, plans.size(), &writing, &read);
        std::vector<std::thread> writers;
        for (size_t i = 0; i < plans.size(); ++i)
            writers.emplace_back(runWriter, queues[plans[i].queue], plans[i], end, &written[i]);
        for (std::thread& writer : writers) writer.join();
        writing.store(false, std::memory_order_release);
        reader.join();
    }
    std::vector<LogLine> lines = capture.finish();

    EXPECT_EQ(0u, read.faults) << read.firstFault;
    uint64_t lost = 0;
    for (size_t w = 0; w < plans.size(); ++w) {
        SCOPED_TRACE("writer " + std::to_string(w));
        EXPECT_FALSE(read.seen[w].empty());
        uint64_t refused = 0;
        for (uint8_t r : written[w].refused) refused += r;
        for (uint32_t seq : read.seen[w]) EXPECT_EQ(0, written[w].refused[seq]) << "refused frame was read: " << seq;
        ASSERT_LE(read.seen[w].size() + refused, written[w].written);
        lost += written[w].written - refused - read.seen[w].size();
    }
    for (FRAME_QUEUE_T* queue : queues) {
        EXPECT_EQ(0u, queue->pQueHeader->totalsize);
        EXPECT_EQ(0u, queue->pQueHeader->cache_frames);
        EXPECT_EQ(queue->pQueHeader->readpos % queue->pQueHeader->bufsize,
                  queue->pQueHeader->writepos % queue->pQueHeader->bufsize);
    }

    // Nothing damaged, no inconsistent count.
    for (const char* fault : {"标志位错误", "111标志位错误", "SSQ_", "数据量不够", "总字节数<", "读位置错误", "ERROR",
                              "[RTSP Server"})
        EXPECT_EQ(0u, countLinesStartingWith(lines, fault)) << fault;
    // Frames lost beyond the deletions' summaries: new frames dropped by a final
    // write that found the queue refilled, and the frames of deletions that ran
    // the queue empty (at most a queue's worth each).
    size_t deletions = countLinesStartingWith(lines, "Delete the queue history");
    size_t notFitting = countLinesStartingWith(lines, "Beyond the buffer size");
    size_t failedDeletions = countLinesStartingWith(lines, "get frame data failed");
    uint64_t mostFramesHeld = 64 * 1024 / (kHeaderBytes + kStampBytes);
    EXPECT_LE(lost, sumDeletedFrames(lines) + (notFitting - deletions) + failedDeletions * mostFramesHeld);
    if (deletions == 0) {
        EXPECT_EQ(0u, lost);
    }
    printf("frames written %llu, read %llu, lost %llu, deletions %zu (failed %zu)\n",
           static_cast<unsigned long long>(written[0].written + written[1].written + written[2].written +
                                           written[3].written),
           static_cast<unsigned long long>(read.frames), static_cast<unsigned long long>(lost), deletions,
           failedDeletions);

    for (FRAME_QUEUE_T* queue : queues) FrameQueue_Destroy(queue);
}

}  // namespace
