#include "ProcessStats.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Fields 14 and 15 of /proc/PID/stat; the command name may hold spaces and
// parentheses, so parsing starts after the last ')'.
bool readCpu(pid_t pid, double& seconds) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    char line[2048];
    size_t got = fread(line, 1, sizeof line - 1, file);
    fclose(file);
    line[got] = '\0';
    const char* rest = strrchr(line, ')');
    if (rest == nullptr) return false;
    unsigned long long utime = 0, stime = 0;
    // After ")": state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return false;
    seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return true;
}

void readMemory(pid_t pid, ProcessSample& sample) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return;
    char line[256];
    while (fgets(line, sizeof line, file) != nullptr) {
        unsigned long long kb = 0;
        if (sscanf(line, "VmHWM: %llu kB", &kb) == 1) sample.peakRssKb = kb;
        else if (sscanf(line, "VmRSS: %llu kB", &kb) == 1) sample.rssKb = kb;
    }
    fclose(file);
}

}  // namespace

ProcessSample sampleProcess(pid_t pid) {
    ProcessSample sample;
    if (pid <= 0 || !readCpu(pid, sample.cpuSeconds)) return sample;
    readMemory(pid, sample);
    sample.valid = true;
    return sample;
}
