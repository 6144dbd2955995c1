// Latencies in 10 µs buckets from -100 ms to +900 ms (values outside are
// counted in the end buckets), for medians and percentiles without storing
// every sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LatencyHistogram {
public:
    LatencyHistogram();

    void add(int64_t micros);
    void merge(const LatencyHistogram& other);
    uint64_t count() const { return fCount; }
    // The value below which `fraction` of the samples lie, in milliseconds;
    // 0 without samples.
    double percentileMs(double fraction) const;
    double maxMs() const { return fCount == 0 ? 0 : static_cast<double>(fMax) / 1000.0; }
    double minMs() const { return fCount == 0 ? 0 : static_cast<double>(fMin) / 1000.0; }

private:
    static constexpr int64_t kLowestUs = -100000;
    static constexpr int64_t kBucketUs = 10;
    static constexpr size_t kBuckets = 100000;

    std::vector<uint32_t> fBuckets;
    uint64_t fCount = 0;
    int64_t fMin = 0;
    int64_t fMax = 0;
};
