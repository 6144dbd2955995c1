// CPU time and peak memory of another process, read from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ProcessSample {
    bool valid = false;
    double cpuSeconds = 0;  // utime + stime of all threads
    uint64_t peakRssKb = 0; // VmHWM
    uint64_t rssKb = 0;     // VmRSS
};

ProcessSample sampleProcess(pid_t pid);
