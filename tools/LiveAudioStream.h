// A live audio input of fixed-size blocks (G.711 from an ffmpeg pipe) read on
// a thread of its own; each complete block is pushed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "LiveFrameClock.h"
#include "MediaTimeline.h"
#include "StopEvent.h"

class FrameSink;

class LiveAudioStream {
public:
    // `fd` is not closed here.
    LiveAudioStream(FrameSink& sink, int fd, size_t blockSize, double blockDurationUs);
    ~LiveAudioStream();
    LiveAudioStream(const LiveAudioStream&) = delete;
    LiveAudioStream& operator=(const LiveAudioStream&) = delete;

    void launch();
    void stop();
    bool ended() const { return fEnded.load(); }

private:
    void run();
    bool readIntoBlock();
    void pushBlock();

    FrameSink& fSink;
    int fFd;
    StopEvent fStop;
    MediaTimeline fArrivalClock;
    LiveFrameClock fFrameClock;
    std::vector<uint8_t> fBlock;
    size_t fFilled = 0;
    std::atomic<bool> fEnded{false};
    std::thread fThread;
};
