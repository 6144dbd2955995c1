#include "LatencyHistogram.h"

LatencyHistogram::LatencyHistogram() : fBuckets(kBuckets, 0) {}

void LatencyHistogram::add(int64_t micros) {
    int64_t index = (micros - kLowestUs) / kBucketUs;
    if (index < 0) index = 0;
    if (index >= static_cast<int64_t>(kBuckets)) index = kBuckets - 1;
    ++fBuckets[static_cast<size_t>(index)];
    if (fCount == 0 || micros < fMin) fMin = micros;
    if (fCount == 0 || micros > fMax) fMax = micros;
    ++fCount;
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (size_t i = 0; i < kBuckets; ++i) fBuckets[i] += other.fBuckets[i];
    if (other.fCount != 0) {
        if (fCount == 0 || other.fMin < fMin) fMin = other.fMin;
        if (fCount == 0 || other.fMax > fMax) fMax = other.fMax;
    }
    fCount += other.fCount;
}

double LatencyHistogram::percentileMs(double fraction) const {
    if (fCount == 0) return 0;
    uint64_t wanted = static_cast<uint64_t>(fraction * static_cast<double>(fCount));
    if (wanted >= fCount) wanted = fCount - 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += fBuckets[i];
        if (seen > wanted) {
            // The middle of the bucket.
            double us = static_cast<double>(kLowestUs) + (static_cast<double>(i) + 0.5) * kBucketUs;
            return us / 1000.0;
        }
    }
    return maxMs();
}
