// Stands in for Nerivo_PushFrame: records every frame pushed.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Nerivo.h"

struct PushedFrame {
    int channel;
    uint32_t mediaType;
    uint32_t frameType;
    std::vector<uint8_t> data;
    int64_t stampUs;
};

class PushRecorder {
public:
    static int push(int channelId, const PUSH_FRAME_T* frame);
    static void clear();
    static std::vector<PushedFrame> frames();
    static size_t count(uint32_t mediaType);
    // Waits (bounded) until `count` frames of the type have been pushed.
    static bool waitFor(uint32_t mediaType, size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    static std::mutex sMutex;
    static std::vector<PushedFrame> sFrames;
};

// A file in the temporary directory, removed at the end of the test.
class TempFile {
public:
    TempFile(const std::string& suffix, const std::vector<uint8_t>& contents);
    ~TempFile();
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
};

// Annex-B stream of units, each with a 4-byte start code.
std::vector<uint8_t> annexB(const std::vector<std::vector<uint8_t>>& units);
