#include "server/LiveServerMediaSession.h"

#include <new>

#include "log/Log.h"
#include "media/LiveAudioServerMediaSubsession.h"
#include "media/LiveH264VideoServerMediaSubsession.h"
#include "media/LiveH265VideoServerMediaSubsession.h"
#include "rtp/OutPacketBuffer.h"

namespace {

const char kH264Description[] = "H.264 Video, streamed by the Nerivo v1.3.16.1206";
const char kH265Description[] = "H.265 Video, streamed by the Nerivo v1.3.16.1206";
const char kAudioDescription[] = "Live Audio, streamed by the Nerivo v1.3.16.1206";

}  // namespace

LiveServerMediaSession* LiveServerMediaSession::createNew(UsageEnvironment& env, CHANNEL_SLOT_T* slot,
                                                          char const* description,
                                                          SERVER_CALLBACK* serverCallback,
                                                          void* userPtr) {
    return new (std::nothrow) LiveServerMediaSession(env, slot, description, serverCallback, userPtr);
}

LiveServerMediaSession::LiveServerMediaSession(UsageEnvironment& env, CHANNEL_SLOT_T* s,
                                               char const* description,
                                               SERVER_CALLBACK* serverCallback, void* userPtr)
    : ServerMediaSession(env, s->info.stream_name, s->info.stream_name, description),
      slot(s),
      server_callback(serverCallback),
      user_ptr(userPtr) {}

LiveServerMediaSession::~LiveServerMediaSession() {
    SERVER_CALLBACK callback = server_callback != nullptr ? *server_callback : nullptr;
    // The subsessions end the live source below; the slot (still alive, also
    // at teardown, where sessions go before the table) must not keep it.
    if (slot != nullptr) slot->live_source = nullptr;
    if (callback == nullptr)
        Log_Write(LOG_ERROR, "Callback not be set.\n");
    else if (slot != nullptr)
        callback(slot->info.channel_id, CHANNEL_EVT_STOP, &slot->media_desc, user_ptr);
    // The base closes the subsessions; the video track closes the live source.
}

LiveServerMediaSession* createChannelSession(CHANNEL_SLOT_T* slot, UsageEnvironment& env,
                                             SERVER_CALLBACK* serverCallback, void* userPtr) {
    MEDIA_DESC_T* desc = &slot->media_desc;
    LiveServerMediaSession* session = nullptr;
    ServerMediaSubsession* video = nullptr;
    if (desc->video_codec == NERIVO_CODEC_H264 || desc->video_codec == NERIVO_CODEC_H265) {
        bool h264 = desc->video_codec == NERIVO_CODEC_H264;
        session = LiveServerMediaSession::createNew(env, slot, h264 ? kH264Description : kH265Description,
                                                    serverCallback, userPtr);
        if (session == nullptr) return nullptr;
        OutPacketBuffer::maxSize = 0x100000;
        if (h264)
            video = LiveH264VideoServerMediaSubsession::createNew(env, desc, slot->live_source);
        else
            video = LiveH265VideoServerMediaSubsession::createNew(env, desc, slot->live_source);
        session->addSubsession(video);
    }
    if (desc->audio_codec != 0) {
        if (session == nullptr) {
            session = LiveServerMediaSession::createNew(env, slot, kAudioDescription, serverCallback, userPtr);
            if (session == nullptr) return nullptr;
        }
        auto* audio = LiveAudioServerMediaSubsession::createNew(env, desc, slot->live_source);
        // Without a video track the audio track ends the live source itself.
        if (audio != nullptr && video == nullptr) audio->setOwnsLiveSource(true);
        session->addSubsession(audio);
    }
    return session;
}
