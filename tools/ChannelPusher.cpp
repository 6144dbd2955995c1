#include "ChannelPusher.h"

#include <limits>

#include "AudioFile.h"
#include "FrameSink.h"
#include "VideoFile.h"

ChannelPusher::ChannelPusher(FrameSink& sink, const VideoFile* video, const AudioFile* audio, double fps)
    : fSink(sink), fVideo(video), fAudio(audio), fVideoPeriodUs(1e6 / fps) {}

ChannelPusher::~ChannelPusher() { quit(); }

void ChannelPusher::launch() {
    std::lock_guard<std::mutex> lock(fMutex);
    if (!fThread.joinable() && !fQuit) fThread = std::thread(&ChannelPusher::run, this);
}

void ChannelPusher::play() {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fQuit) return;
    fPlaying = true;
    ++fGeneration;
    fWake.notify_all();
}

void ChannelPusher::stop() {
    std::lock_guard<std::mutex> lock(fMutex);
    fPlaying = false;
    fWake.notify_all();
}

void ChannelPusher::quit() {
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fQuit = true;
        fPlaying = false;
        fWake.notify_all();
    }
    if (fThread.joinable()) fThread.join();
}

void ChannelPusher::run() {
    std::unique_lock<std::mutex> lock(fMutex);
    for (;;) {
        fWake.wait(lock, [this] { return fQuit || fPlaying; });
        if (fQuit) return;
        unsigned generation = fGeneration;
        lock.unlock();
        pushWhilePlaying(generation);
        lock.lock();
    }
}

bool ChannelPusher::stillPlaying(unsigned generation) const {
    return !fQuit && fPlaying && fGeneration == generation;
}

bool ChannelPusher::waitUntil(MediaTimeline::Clock::time_point due, unsigned generation) {
    std::unique_lock<std::mutex> lock(fMutex);
    fWake.wait_until(lock, due, [&] { return !stillPlaying(generation); });
    return stillPlaying(generation);
}

double ChannelPusher::nextVideoOffset(const Position& position) const {
    if (fVideo == nullptr) return std::numeric_limits<double>::infinity();
    return static_cast<double>(position.videoCount) * fVideoPeriodUs;
}

double ChannelPusher::nextAudioOffset(const Position& position) const {
    if (fAudio == nullptr) return std::numeric_limits<double>::infinity();
    return static_cast<double>(position.audioCount) * fAudio->frameDurationUs();
}

// Pushes whichever medium is due next, sleeping until it is due.
void ChannelPusher::pushWhilePlaying(unsigned generation) {
    if (fVideo == nullptr && fAudio == nullptr) return;
    MediaTimeline timeline;
    timeline.start();
    Position position;
    if (fVideo != nullptr) position.accessUnit = fVideo->loopStart();
    for (;;) {
        double videoOffset = nextVideoOffset(position);
        double audioOffset = nextAudioOffset(position);
        double offset = videoOffset <= audioOffset ? videoOffset : audioOffset;
        MediaTimeline::Clock::time_point due = timeline.dueTime(offset);
        if (!waitUntil(due, generation)) return;
        auto lag = MediaTimeline::Clock::now() - due;
        if (lag > kMaxLag) timeline.shift(lag);
        if (videoOffset <= audioOffset) pushAccessUnit(position, timeline.presentationUs(offset));
        else pushAudioFrame(position, timeline.presentationUs(offset));
    }
}

// All units of an access unit carry the same presentation time.
void ChannelPusher::pushAccessUnit(Position& position, int64_t stampUs) {
    size_t accessUnit = position.accessUnit;
    for (size_t i = 0; i < fVideo->unitCount(accessUnit); ++i) {
        fSink.pushVideo(fVideo->unit(accessUnit, i), fVideo->frameType(accessUnit, i), stampUs);
    }
    ++position.videoCount;
    position.accessUnit = accessUnit + 1 < fVideo->accessUnitCount() ? accessUnit + 1 : fVideo->loopStart();
}

void ChannelPusher::pushAudioFrame(Position& position, int64_t stampUs) {
    fSink.pushAudio(fAudio->frame(position.audioFrame), stampUs);
    ++position.audioCount;
    position.audioFrame = (position.audioFrame + 1) % fAudio->frameCount();
}
