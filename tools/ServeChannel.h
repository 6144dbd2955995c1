// One served channel: its media (files, a live pipe or both), its pusher, and
// its answers to the host events of the library.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "AudioFile.h"
#include "FrameSink.h"
#include "NalUnit.h"
#include "Nerivo.h"
#include "ServeOptions.h"

class ChannelPusher;
class LiveAudioStream;
class LiveVideoStream;
class VideoFile;

struct AudioFormat {
    uint32_t codecId = 0;
    unsigned sampleRate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
};

class ServeChannel {
public:
    // A live input gets this long to show its parameter sets to a DESCRIBE.
    static constexpr std::chrono::milliseconds kParameterSetWait{2000};

    ServeChannel(int id, ChannelOptions options, PushFunction push);
    ~ServeChannel();
    ServeChannel(const ServeChannel&) = delete;
    ServeChannel& operator=(const ServeChannel&) = delete;

    // Loads the files the options name (not the live input).
    bool load(std::string& error);
    // The live video input, read from `fd` once launched.
    void attachLiveVideo(int fd, VideoCodec codec);
    // A live audio input of `format` in blocks of `blockSize` bytes.
    void attachLiveAudio(int fd, const AudioFormat& format, size_t blockSize, double blockDurationUs);
    // Starts the threads; live inputs are pushed from now on.
    void launch();
    // Stops every thread of the channel for good.
    void quit();

    // Host events, on the library's server thread.
    int onDescribe(MEDIA_DESC_T& desc);
    void onPlay();
    void onStop();

    bool liveVideoEnded() const;
    int id() const { return fId; }
    const std::string& name() const { return fOptions.name; }
    CHANNEL_INFO_T info() const;
    // "H.264 front.h264 at 25 fps, AAC 48000 Hz 2 ch"
    std::string summary() const;

private:
    bool describeVideo(MEDIA_DESC_T& desc, std::string& refusal);
    void describeAudio(MEDIA_DESC_T& desc) const;
    std::string audioSummary() const;

    int fId;
    ChannelOptions fOptions;
    FrameSink fSink;
    std::unique_ptr<VideoFile> fVideoFile;
    std::unique_ptr<AudioFile> fAudioFile;
    std::unique_ptr<LiveVideoStream> fLiveVideo;
    std::unique_ptr<LiveAudioStream> fLiveAudio;
    std::unique_ptr<ChannelPusher> fPusher;
    AudioFormat fAudio;
};
