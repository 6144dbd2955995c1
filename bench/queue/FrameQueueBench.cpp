// Frame queue throughput beside plain copies of the same bytes, and the cost of
// polling an empty queue. Compare the bytes_per_second columns of one run:
//   QueueWriteRead / Memcpy          what the queue costs against one copy
//   QueueWriteRead / MemcpyInAndOut  against the two copies any ring must make
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "queue/FrameQueue.h"

namespace {

constexpr uint32_t kVideoQueueSize = 0x300000;

std::vector<uint8_t> frameBytes(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    return data;
}

void BM_QueueWriteRead(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> source = frameBytes(length);
    std::vector<uint8_t> dest(length, 1);
    FRAME_QUEUE_T queue{};
    if (FrameQueue_Create(&queue, 900, kVideoQueueSize) != 0) {
        state.SkipWithError("queue creation failed");
        return;
    }
    FRAME_INFO_T info{};
    info.type = 1;
    info.length = length;
    FRAME_INFO_T out{};
    for (auto _ : state) {
        FrameQueue_Write(&queue, 900, 1, &info, source.data(), 1);
        int result = FrameQueue_Read(&queue, &out, nullptr, dest.data(), length, 1);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    FrameQueue_Destroy(&queue);
}

void BM_Memcpy(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> source = frameBytes(length);
    std::vector<uint8_t> dest(length, 1);
    for (auto _ : state) {
        memcpy(dest.data(), source.data(), length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

// One copy into a ring as large as the video queue and one out of it: the least
// that any copying queue does per frame.
void BM_MemcpyInAndOut(benchmark::State& state) {
    const size_t length = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> source = frameBytes(length);
    std::vector<uint8_t> ring(kVideoQueueSize, 1);
    std::vector<uint8_t> dest(length, 1);
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + length > ring.size()) offset = 0;
        memcpy(ring.data() + offset, source.data(), length);
        memcpy(dest.data(), ring.data() + offset, length);
        offset += length + sizeof(SS_BUF_T);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

void BM_EmptyQueueIsEmpty(benchmark::State& state) {
    FRAME_QUEUE_T queue{};
    FrameQueue_Create(&queue, 901, 0x20000);
    for (auto _ : state) benchmark::DoNotOptimize(FrameQueue_IsEmpty(&queue));
    FrameQueue_Destroy(&queue);
}

void BM_EmptyQueueRead(benchmark::State& state) {
    FRAME_QUEUE_T queue{};
    FrameQueue_Create(&queue, 902, 0x20000);
    std::vector<uint8_t> dest(4096);
    FRAME_INFO_T info{};
    for (auto _ : state)
        benchmark::DoNotOptimize(FrameQueue_Read(&queue, &info, nullptr, dest.data(), 4096, 1));
    FrameQueue_Destroy(&queue);
}

}  // namespace

BENCHMARK(BM_QueueWriteRead)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Memcpy)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_MemcpyInAndOut)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_EmptyQueueIsEmpty);
BENCHMARK(BM_EmptyQueueRead);

BENCHMARK_MAIN();
