#include "server/LiveRtspServer.h"

#include <cstring>
#include <new>

#include "log/Log.h"
#include "media/LiveSource.h"
#include "server/LiveServerMediaSession.h"

namespace {

// A description gets a session only with a video codec and both parameter
// sets, each within its array.
bool descriptionIsValid(const MEDIA_DESC_T& d) {
    if (d.video_codec == 0 || d.sps_length == 0 || d.pps_length == 0) return false;
    return d.vps_length <= sizeof d.vps && d.sps_length <= sizeof d.sps && d.pps_length <= sizeof d.pps;
}

FRAME_QUEUE_T* newQueue(int channelId, uint32_t size) {
    auto* queue = new (std::nothrow) FRAME_QUEUE_T();
    if (queue == nullptr) return nullptr;
    FrameQueue_Create(queue, channelId, size);
    return queue;
}

void deleteQueue(FRAME_QUEUE_T* queue) {
    if (queue == nullptr) return;
    FrameQueue_Destroy(queue);
    delete queue;
}

}  // namespace

LiveRtspServer* LiveRtspServer::createNew(UsageEnvironment& env, int ourSocket, uint16_t port,
                                          UserAuthenticationDatabase* authDatabase,
                                          const CHANNEL_INFO_T* channels, int channelCount,
                                          SERVER_CALLBACK callback, void* userPtr) {
    return new (std::nothrow)
        LiveRtspServer(env, ourSocket, port, authDatabase, channels, channelCount, callback, userPtr);
}

LiveRtspServer::LiveRtspServer(UsageEnvironment& env, int ourSocket, uint16_t port,
                               UserAuthenticationDatabase* authDatabase,
                               const CHANNEL_INFO_T* channelInfo, int channelCount,
                               SERVER_CALLBACK cb, void* userPtr)
    : RTSPServer(env, ourSocket, port, authDatabase, 65), callback(cb), user_ptr(userPtr) {
    if (channelCount > 0) channels = new (std::nothrow) CHANNEL_SLOT_T[channelCount]();
    if (channels == nullptr) return;
    channel_count = channelCount;
    for (int i = 0; i < channelCount; ++i) {
        channels[i].info = channelInfo[i];
        channels[i].info.stream_name[sizeof channels[i].info.stream_name - 1] = '\0';
    }
}

LiveRtspServer::~LiveRtspServer() {
    // No CHANNEL_EVT_STOP at teardown: sessions find the callback cleared.
    callback = nullptr;
    user_ptr = nullptr;
    // Sessions go before the queues their live sources point into.
    for (int i = 0; i < channel_count; ++i) {
        if (ServerMediaSession* session = findRegisteredSession(channels[i].info.stream_name))
            deleteServerMediaSession(session);
    }
    dismantleTable();
}

void LiveRtspServer::dismantleTable() {
    for (int i = 0; i < channel_count; ++i) {
        // A source left without a session goes before the queues it waits on.
        Medium::close(channels[i].live_source);
        deleteQueue(channels[i].video_queue);
        deleteQueue(channels[i].audio_queue);
    }
    delete[] channels;
    channels = nullptr;
    channel_count = 0;
}

CHANNEL_SLOT_T* LiveRtspServer::findSlot(int channel_id) const {
    for (int i = 0; i < channel_count; ++i)
        if (channels[i].info.channel_id == channel_id) return &channels[i];
    return nullptr;
}

int LiveRtspServer::pushFrame(int channel_id, const PUSH_FRAME_T* frame) {
    if (channel_id < 0 || frame == nullptr) return -1;
    if (channels == nullptr) return -2;
    CHANNEL_SLOT_T* slot = findSlot(channel_id);
    if (slot == nullptr) {
        Log_Write(LOG_WARN, "Not found the channel id: %d\n", channel_id);
        return -1;
    }
    if (slot->reset_flag.load() == 1) {
        Log_Write(LOG_WARN, "The channel is reset: %d\n", channel_id);
        return -1;
    }
    // A frame without bytes can never be stored: the host is told, also
    // before any client has asked for the channel.
    if (frame->data == nullptr) {
        Log_Write(LOG_WARN, "Frame without data: channel %d, length %u\n", channel_id, frame->length);
        return -1;
    }
    if (frame->length == 0) {
        Log_Write(LOG_WARN, "Empty frame: channel %d\n", channel_id);
        return -1;
    }
    FRAME_INFO_T info{};
    info.type = frame->frame_type & 0xFF;
    info.length = frame->length;
    info.timestamp_sec = frame->timestamp_sec;
    info.timestamp_usec = frame->timestamp_usec;
    const bool video = frame->media_type == NERIVO_MEDIA_VIDEO;
    std::lock_guard<std::mutex> lock(slot->guard);
    info.codec = video ? slot->media_desc.video_codec : slot->media_desc.audio_codec;
    FRAME_QUEUE_T* queue = video ? slot->video_queue : slot->audio_queue;
    if (queue == nullptr) return 0;  // nobody has asked for the channel yet
    FrameQueue_Write(queue, slot->info.channel_id, video ? 1 : static_cast<int>(frame->media_type), &info,
                     frame->data, 1);
    return 0;
}

int LiveRtspServer::resetChannel(int channel_id) {
    if (channel_id < 0) return -1;
    if (channels == nullptr) return -2;
    CHANNEL_SLOT_T* slot = findSlot(channel_id);
    if (slot == nullptr) return -3;
    // The server thread carries both kinds out: it alone touches sessions and
    // the description the subsessions read.
    if (slot->has_session.load())
        slot->reset_flag.store(1);
    else
        slot->clear_desc_pending.store(true);
    fResetsRequested.store(true);  // after the slot's flag, so the sweep sees both
    return 0;
}

void LiveRtspServer::resetSlot(CHANNEL_SLOT_T* slot) {
    // Closing the last client session destroys the channel's session, which
    // tells the host with the description still intact. A session nobody has
    // set up goes too, so that the next request asks the host afresh.
    if (ServerMediaSession* session = findRegisteredSession(slot->info.stream_name))
        deleteServerMediaSession(session);
    std::lock_guard<std::mutex> lock(slot->guard);
    memset(&slot->media_desc, 0, sizeof slot->media_desc);
}

int LiveRtspServer::sweepResetChannels() {
    if (channels == nullptr) return -1;
    // Runs after every loop step: the table is scanned only when a reset came.
    if (!fResetsRequested.exchange(false)) return 0;
    for (int i = 0; i < channel_count; ++i) {
        CHANNEL_SLOT_T* slot = &channels[i];
        bool clearDesc = slot->clear_desc_pending.load() && slot->clear_desc_pending.exchange(false);
        if (slot->reset_flag.load() == 1 || (clearDesc && slot->has_session.load())) {
            resetSlot(slot);
            slot->reset_flag.store(0);
        } else if (clearDesc) {
            std::lock_guard<std::mutex> lock(slot->guard);
            memset(&slot->media_desc, 0, sizeof slot->media_desc);
        }
    }
    return 0;
}

CHANNEL_SLOT_T* LiveRtspServer::selectSlot(char const* streamName) const {
    for (int i = 0; i < channel_count; ++i)
        if (strcmp(channels[i].info.stream_name, streamName) == 0) return &channels[i];
    for (int i = 0; i < channel_count; ++i)
        if (strstr(channels[i].info.stream_name, streamName) != nullptr) return &channels[i];
    return nullptr;
}

CHANNEL_SLOT_T* LiveRtspServer::slotOfSession(ServerMediaSession* session) const {
    auto* live = dynamic_cast<LiveServerMediaSession*>(session);
    return live != nullptr ? live->slot : nullptr;
}

void LiveRtspServer::serverMediaSessionAdded(ServerMediaSession* session) {
    if (CHANNEL_SLOT_T* slot = slotOfSession(session)) slot->has_session.store(true);
}

void LiveRtspServer::serverMediaSessionRemoved(ServerMediaSession* session) {
    if (CHANNEL_SLOT_T* slot = slotOfSession(session)) slot->has_session.store(false);
}

bool LiveRtspServer::describeChannel(CHANNEL_SLOT_T* slot) {
    MEDIA_DESC_T description;
    memset(&description, 0, sizeof description);
    const int id = slot->info.channel_id;
    if (callback(id, CHANNEL_EVT_DESCRIBE, &description, user_ptr) < 0) return false;
    if (!descriptionIsValid(description)) {
        Log_Write(LOG_WARN,
                  "Invalid media description for channel %d: video codec 0x%X, vps %u, sps %u, pps %u bytes\n", id,
                  description.video_codec, description.vps_length, description.sps_length, description.pps_length);
        callback(id, CHANNEL_EVT_STOP, &description, user_ptr);
        return false;
    }
    std::lock_guard<std::mutex> lock(slot->guard);
    slot->media_desc = description;
    // A reset asked for before this description came is spent.
    slot->clear_desc_pending.store(false);
    return true;
}

bool LiveRtspServer::replaceQueues(CHANNEL_SLOT_T* slot) {
    // A live source left from a build that made no session waits on the old
    // queues: it must not outlive them.
    Medium::close(slot->live_source);
    slot->live_source = nullptr;
    FRAME_QUEUE_T* video = newQueue(slot->info.channel_id, kVideoQueueBytes);
    FRAME_QUEUE_T* audio = video != nullptr ? newQueue(slot->info.channel_id, kAudioQueueBytes) : nullptr;
    if (audio == nullptr) {
        deleteQueue(video);
        Log_Write(LOG_ERROR, "insufficient memory ???\n");
        return false;
    }
    FRAME_QUEUE_T* oldVideo;
    FRAME_QUEUE_T* oldAudio;
    {
        std::lock_guard<std::mutex> lock(slot->guard);
        oldVideo = slot->video_queue;
        oldAudio = slot->audio_queue;
        slot->video_queue = video;
        slot->audio_queue = audio;
    }
    deleteQueue(oldVideo);
    deleteQueue(oldAudio);
    return true;
}

bool LiveRtspServer::prepareLiveSource(CHANNEL_SLOT_T* slot) {
    slot->live_source = LiveSource::createNew(envir(), slot->info.channel_id, &slot->media_desc,
                                              slot->video_queue, slot->audio_queue, callback, user_ptr);
    return slot->live_source != nullptr;
}

ServerMediaSession* LiveRtspServer::lookupServerMediaSession(char const* streamName, bool) {
    if (channels == nullptr || streamName == nullptr) return nullptr;
    if (ServerMediaSession* session = findRegisteredSession(streamName)) return session;
    if (callback == nullptr) {
        Log_Write(LOG_ERROR, "Callback not be set.\n");
        return nullptr;
    }
    CHANNEL_SLOT_T* slot = selectSlot(streamName);
    if (slot == nullptr) {
        Log_Write(LOG_WARN, "Not found the stream name: %s\n", streamName);
        return nullptr;
    }
    // A partial name reaches the channel's existing session; it never rebuilds it.
    if (ServerMediaSession* session = findRegisteredSession(slot->info.stream_name)) return session;
    if (!describeChannel(slot) || !replaceQueues(slot) || !prepareLiveSource(slot)) return nullptr;
    LiveServerMediaSession* session = createChannelSession(slot, envir(), &callback, user_ptr);
    if (session == nullptr) {
        Log_Write(LOG_WARN, "Invalid media description for channel %d: no track to serve (video codec 0x%X, audio codec 0x%X)\n",
                  slot->info.channel_id, slot->media_desc.video_codec, slot->media_desc.audio_codec);
        return nullptr;
    }
    addServerMediaSession(session);
    return session;
}
