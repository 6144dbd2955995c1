#include "media/LiveAudioServerMediaSubsession.h"

#include <new>

#include "media/AacConfig.h"
#include "media/LiveSource.h"
#include "media/LiveStreamSource.h"
#include "media/SilentSource.h"
#include "rtp/MPEG4GenericRTPSink.h"
#include "rtp/SimpleRTPSink.h"

namespace {

constexpr unsigned char kPayloadPCMU = 0;
constexpr unsigned char kPayloadPCMA = 8;

const char* g726Name(uint32_t bits) {
    switch (bits) {
        case 24: return "G726-24";
        case 32: return "G726-32";
        case 40: return "G726-40";
        default: return "G726-16";
    }
}

}  // namespace

LiveAudioServerMediaSubsession* LiveAudioServerMediaSubsession::createNew(UsageEnvironment& env,
                                                                          MEDIA_DESC_T* mediaDesc,
                                                                          LiveSource* liveSource) {
    return new (std::nothrow) LiveAudioServerMediaSubsession(env, mediaDesc, liveSource, kAudioBitrate);
}

LiveAudioServerMediaSubsession::~LiveAudioServerMediaSubsession() {
    if (fOwnsLiveSource && fLiveSource != nullptr) Medium::close(fLiveSource);
    fLiveSource = nullptr;
}

bool LiveAudioServerMediaSubsession::describable() const {
    return fMediaDesc != nullptr && fMediaDesc->audio_codec != 0 && fMediaDesc->audio_channels != 0 &&
           fMediaDesc->audio_sample_rate != 0;
}

FramedSource* LiveAudioServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
    estBitrate = fEstBitrate;
    if (!describable() || fLiveSource == nullptr) return nullptr;
    // A description built while the stream reads the channel's audio source
    // gets a stand-in, which it may close without ending the stream's input.
    if (clientSessionId == 0 && fLiveSource->hasAudioStreamSource()) return SilentSource::createNew(envir());
    return fLiveSource->audioStreamSource();
}

RTPSink* LiveAudioServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                          unsigned char rtpPayloadTypeIfDynamic,
                                                          FramedSource*) {
    if (!describable()) return nullptr;
    const MEDIA_DESC_T& d = *fMediaDesc;
    const bool narrowMono = d.audio_sample_rate == 8000 && d.audio_channels == 1;
    switch (d.audio_codec) {
        case NERIVO_CODEC_PCMU:
            return SimpleRTPSink::createNew(envir(), rtpGroupsock, narrowMono ? kPayloadPCMU : rtpPayloadTypeIfDynamic,
                                            d.audio_sample_rate, "audio", "PCMU", d.audio_channels, true, true);
        case NERIVO_CODEC_PCMA:
            return SimpleRTPSink::createNew(envir(), rtpGroupsock, narrowMono ? kPayloadPCMA : rtpPayloadTypeIfDynamic,
                                            d.audio_sample_rate, "audio", "PCMA", d.audio_channels, true, true);
        case NERIVO_CODEC_G726:
            return SimpleRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, d.audio_sample_rate,
                                            "audio", g726Name(d.audio_bits), d.audio_channels, true, true);
        case NERIVO_CODEC_AAC:
            return MPEG4GenericRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic,
                                                  d.audio_sample_rate, "audio", "AAC-hbr",
                                                  aacConfigString(d.audio_sample_rate, d.audio_channels).c_str(),
                                                  d.audio_channels);
        default:
            return nullptr;
    }
}
