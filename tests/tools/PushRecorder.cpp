#include "PushRecorder.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

std::mutex PushRecorder::sMutex;
std::vector<PushedFrame> PushRecorder::sFrames;

int PushRecorder::push(int channelId, const PUSH_FRAME_T* frame) {
    std::lock_guard<std::mutex> lock(sMutex);
    int64_t stamp = static_cast<int64_t>(frame->timestamp_sec) * 1000000 + frame->timestamp_usec;
    sFrames.push_back({channelId, frame->media_type, frame->frame_type,
                       std::vector<uint8_t>(frame->data, frame->data + frame->length), stamp});
    return 0;
}

void PushRecorder::clear() {
    std::lock_guard<std::mutex> lock(sMutex);
    sFrames.clear();
}

std::vector<PushedFrame> PushRecorder::frames() {
    std::lock_guard<std::mutex> lock(sMutex);
    return sFrames;
}

size_t PushRecorder::count(uint32_t mediaType) {
    std::lock_guard<std::mutex> lock(sMutex);
    size_t n = 0;
    for (const PushedFrame& frame : sFrames) n += frame.mediaType == mediaType;
    return n;
}

bool PushRecorder::waitFor(uint32_t mediaType, size_t wanted, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (count(mediaType) < wanted) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TempFile::TempFile(const std::string& suffix, const std::vector<uint8_t>& contents) {
    const char* dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/nerivo-serve-test-XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
    fPath = name.data();
    if (fd >= 0) {
        ssize_t written = write(fd, contents.data(), contents.size());
        (void)written;
        close(fd);
    }
}

TempFile::~TempFile() { unlink(fPath.c_str()); }

std::vector<uint8_t> annexB(const std::vector<std::vector<uint8_t>>& units) {
    std::vector<uint8_t> stream;
    for (const auto& unit : units) {
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), unit.begin(), unit.end());
    }
    return stream;
}
