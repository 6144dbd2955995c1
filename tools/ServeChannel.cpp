#include "ServeChannel.h"

#include <cstring>

#include "ChannelPusher.h"
#include "ConsoleOutput.h"
#include "LiveAudioStream.h"
#include "LiveVideoStream.h"
#include "VideoFile.h"

ServeChannel::ServeChannel(int id, ChannelOptions options, PushFunction push)
    : fId(id), fOptions(std::move(options)), fSink(push, id, fOptions.name) {}

ServeChannel::~ServeChannel() { quit(); }

bool ServeChannel::load(std::string& error) {
    if (!fOptions.isLive()) {
        fVideoFile = std::make_unique<VideoFile>();
        if (!fVideoFile->load(fOptions.video, fOptions.h265 ? VideoCodec::H265 : VideoCodec::Unknown, error)) {
            return false;
        }
        if (fVideoFile->oversizedUnits() != 0) {
            printErrorLine("nerivo-serve: %s: %llu NAL units over 8 MiB left out", fOptions.video.c_str(),
                           static_cast<unsigned long long>(fVideoFile->oversizedUnits()));
        }
    }
    if (fOptions.audio.codec != AudioCodec::None) {
        fAudioFile = std::make_unique<AudioFile>();
        if (!fAudioFile->load(fOptions.audio, error)) return false;
        fAudio = {fAudioFile->codecId(), fAudioFile->sampleRate(), fAudioFile->channels(), fAudioFile->bits()};
    }
    if (fVideoFile || fAudioFile) {
        fPusher = std::make_unique<ChannelPusher>(fSink, fVideoFile.get(), fAudioFile.get(), fOptions.fps);
    }
    return true;
}

void ServeChannel::attachLiveVideo(int fd, VideoCodec codec) {
    fLiveVideo = std::make_unique<LiveVideoStream>(fSink, fd, codec, fOptions.fps);
}

void ServeChannel::attachLiveAudio(int fd, const AudioFormat& format, size_t blockSize, double blockDurationUs) {
    fAudio = format;
    fLiveAudio = std::make_unique<LiveAudioStream>(fSink, fd, blockSize, blockDurationUs);
}

void ServeChannel::launch() {
    if (fLiveVideo) fLiveVideo->launch();
    if (fLiveAudio) fLiveAudio->launch();
    if (fPusher) fPusher->launch();
}

void ServeChannel::quit() {
    if (fPusher) fPusher->quit();
    if (fLiveVideo) fLiveVideo->stop();
    if (fLiveAudio) fLiveAudio->stop();
}

bool ServeChannel::describeVideo(MEDIA_DESC_T& desc, std::string& refusal) {
    if (fVideoFile) {
        desc.video_codec = videoCodecId(fVideoFile->codec());
        fVideoFile->parameterSets().fillDescription(desc);
        return true;
    }
    if (fLiveVideo && fLiveVideo->describe(desc, kParameterSetWait)) return true;
    refusal = fLiveVideo && fLiveVideo->ended() ? "the live input has ended"
                                                : "no parameter sets seen on the live input within 2 s";
    return false;
}

void ServeChannel::describeAudio(MEDIA_DESC_T& desc) const {
    desc.audio_codec = fAudio.codecId;
    desc.audio_sample_rate = fAudio.sampleRate;
    desc.audio_channels = fAudio.channels;
    desc.audio_bits = fAudio.bits;
}

int ServeChannel::onDescribe(MEDIA_DESC_T& desc) {
    std::string refusal;
    if (!describeVideo(desc, refusal)) {
        printLine("DESCRIBE %s (channel %d) refused: %s", name().c_str(), fId, refusal.c_str());
        return -1;
    }
    describeAudio(desc);
    printLine("DESCRIBE %s (channel %d)", name().c_str(), fId);
    return 0;
}

void ServeChannel::onPlay() {
    printLine("PLAY %s (channel %d)", name().c_str(), fId);
    if (fPusher) fPusher->play();
}

void ServeChannel::onStop() {
    printLine("STOP %s (channel %d)", name().c_str(), fId);
    if (fPusher) fPusher->stop();
}

bool ServeChannel::liveVideoEnded() const { return fLiveVideo && fLiveVideo->ended(); }

CHANNEL_INFO_T ServeChannel::info() const {
    CHANNEL_INFO_T info{};
    info.channel_id = fId;
    strncpy(info.stream_name, fOptions.name.c_str(), sizeof info.stream_name - 1);
    return info;
}

std::string ServeChannel::audioSummary() const {
    switch (fAudio.codecId) {
    case 0: return "";
    case NERIVO_CODEC_G726: return ", G.726-" + std::to_string(fAudio.bits);
    default: break;
    }
    const char* codec = fAudio.codecId == NERIVO_CODEC_PCMU   ? "PCMU"
                        : fAudio.codecId == NERIVO_CODEC_PCMA ? "PCMA"
                                                              : "AAC";
    return std::string(", ") + codec + " " + std::to_string(fAudio.sampleRate) + " Hz " +
           std::to_string(fAudio.channels) + " ch";
}

std::string ServeChannel::summary() const {
    char fps[32];
    snprintf(fps, sizeof fps, "%g", fOptions.fps);
    std::string video = fVideoFile ? std::string(videoCodecName(fVideoFile->codec())) + " " + fOptions.video
                                   : std::string("live video");
    return video + " at " + fps + " fps" + audioSummary();
}
