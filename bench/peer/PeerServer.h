// gst-rtsp-server serving one file on N mounts "/ch0".."/chN-1": one shared
// media per mount, appsrc ! rtph264pay, UDP and TCP. One pusher thread hands
// every prepared media's appsrc the next access unit (Annex-B, wrapped
// without a copy) every 40 ms, timestamped by appsrc on arrival; each media
// starts at the file's first IDR picture. With `idle`, each media gets its
// first access unit only: without one, gst-rtsp-server cannot finish the
// media's preparation and answers DESCRIBE with 503.
#pragma once

#include <gst/app/gstappsrc.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <cstdint>
#include <map>
#include <mutex>

#include "FrameTicker.h"
#include "StreamFile.h"

class PeerServer {
public:
    PeerServer(const StreamFile& file, unsigned mounts, bool idle);
    ~PeerServer();

    // Listens on `port` in the default main context; false on failure.
    bool start(uint16_t port);
    void stop();

    uint64_t pushed() const { return fPushed; }
    uint64_t refused() const { return fRefused; }

private:
    struct Feed {
        GstAppSrc* source;
        uint64_t position;
    };

    static void onMediaConfigure(GstRTSPMediaFactory* factory, GstRTSPMedia* media, gpointer self);
    static void onMediaUnprepared(GstRTSPMedia* media, gpointer self);
    void onTick();

    const StreamFile& fFile;
    unsigned fMounts;
    bool fIdle;
    GstRTSPServer* fServer = nullptr;
    guint fSourceId = 0;
    std::mutex fMutex;               // guards fFeeds
    std::map<GstRTSPMedia*, Feed> fFeeds;
    FrameTicker fTicker;
    uint64_t fPushed = 0;            // pusher thread
    uint64_t fRefused = 0;
};
