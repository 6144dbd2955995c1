// Pushes a channel's file media in real time on a thread of its own: the
// video file's access units at the frame rate and the audio file's frames at
// theirs, both looped, with presentation times from one timeline. Pushing
// runs between play() and stop(); each play() starts again at the beginning.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "MediaTimeline.h"

class AudioFile;
class FrameSink;
class VideoFile;

class ChannelPusher {
public:
    // Either file may be null. Both must outlive the pusher.
    ChannelPusher(FrameSink& sink, const VideoFile* video, const AudioFile* audio, double fps);
    ~ChannelPusher();
    ChannelPusher(const ChannelPusher&) = delete;
    ChannelPusher& operator=(const ChannelPusher&) = delete;

    // Starts the thread, which waits for play().
    void launch();
    void play();
    void stop();
    // Ends the thread; play() does nothing afterwards.
    void quit();

    // Pushing further behind than this moves the timeline on instead of
    // catching up in a burst.
    static constexpr auto kMaxLag = std::chrono::seconds(1);

private:
    struct Position {
        size_t accessUnit = 0;
        uint64_t videoCount = 0;
        size_t audioFrame = 0;
        uint64_t audioCount = 0;
    };

    void run();
    void pushWhilePlaying(unsigned generation);
    bool waitUntil(MediaTimeline::Clock::time_point due, unsigned generation);
    bool stillPlaying(unsigned generation) const;
    void pushAccessUnit(Position& position, int64_t stampUs);
    void pushAudioFrame(Position& position, int64_t stampUs);
    double nextVideoOffset(const Position& position) const;
    double nextAudioOffset(const Position& position) const;

    FrameSink& fSink;
    const VideoFile* fVideo;
    const AudioFile* fAudio;
    double fVideoPeriodUs;

    std::mutex fMutex;
    std::condition_variable fWake;
    bool fPlaying = false;
    bool fQuit = false;
    unsigned fGeneration = 0;
    std::thread fThread;
};
