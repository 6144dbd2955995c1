#include "PeerServer.h"

#include <cstdio>
#include <string>

namespace {

const char* kLaunch =
    "( appsrc name=src is-live=true do-timestamp=true format=time max-bytes=16000000 "
    "caps=video/x-h264,stream-format=byte-stream,alignment=au "
    "! rtph264pay name=pay0 pt=96 mtu=1456 )";

}  // namespace

PeerServer::PeerServer(const StreamFile& file, unsigned mounts, bool idle)
    : fFile(file), fMounts(mounts), fIdle(idle) {}

PeerServer::~PeerServer() { stop(); }

bool PeerServer::start(uint16_t port) {
    fServer = gst_rtsp_server_new();
    std::string service = std::to_string(port);
    gst_rtsp_server_set_address(fServer, "127.0.0.1");
    gst_rtsp_server_set_service(fServer, service.c_str());
    gst_rtsp_server_set_backlog(fServer, 1024);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(fServer);
    for (unsigned i = 0; i < fMounts; ++i) {
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, kLaunch);
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        gst_rtsp_media_factory_set_protocols(
            factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
        g_signal_connect(factory, "media-configure", G_CALLBACK(onMediaConfigure), this);
        std::string path = "/ch" + std::to_string(i);
        gst_rtsp_mount_points_add_factory(mounts, path.c_str(), factory);  // takes the factory
    }
    g_object_unref(mounts);
    fSourceId = gst_rtsp_server_attach(fServer, nullptr);
    if (fSourceId == 0) {
        fprintf(stderr, "nerivo-peer-gst: cannot listen on port %u\n", port);
        return false;
    }
    fTicker.start(40000, [this](uint64_t, int64_t) { onTick(); });
    return true;
}

void PeerServer::stop() {
    fTicker.stop();
    std::lock_guard<std::mutex> lock(fMutex);
    for (auto& entry : fFeeds) gst_object_unref(entry.second.source);
    fFeeds.clear();
    if (fSourceId != 0) g_source_remove(fSourceId);
    fSourceId = 0;
    if (fServer != nullptr) g_object_unref(fServer);
    fServer = nullptr;
}

void PeerServer::onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer self) {
    auto* server = static_cast<PeerServer*>(self);
    GstElement* element = gst_rtsp_media_get_element(media);
    GstElement* source = gst_bin_get_by_name(GST_BIN(element), "src");
    gst_object_unref(element);
    if (source == nullptr) return;
    g_signal_connect(media, "unprepared", G_CALLBACK(onMediaUnprepared), self);
    std::lock_guard<std::mutex> lock(server->fMutex);
    server->fFeeds[media] = Feed{GST_APP_SRC(source), 0};  // keeps the reference from gst_bin_get_by_name
}

void PeerServer::onMediaUnprepared(GstRTSPMedia* media, gpointer self) {
    auto* server = static_cast<PeerServer*>(self);
    std::lock_guard<std::mutex> lock(server->fMutex);
    auto it = server->fFeeds.find(media);
    if (it == server->fFeeds.end()) return;
    gst_object_unref(it->second.source);
    server->fFeeds.erase(it);
}

void PeerServer::onTick() {
    std::lock_guard<std::mutex> lock(fMutex);
    for (auto& entry : fFeeds) {
        Feed& feed = entry.second;
        if (fIdle && feed.position != 0) continue;
        const AccessUnit& au = fFile.at(feed.position++);
        // The file outlives the server: the buffer borrows its bytes.
        GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY,
                                                        const_cast<uint8_t*>(au.annexB.data()), au.annexB.size(), 0,
                                                        au.annexB.size(), nullptr, nullptr);
        if (gst_app_src_push_buffer(feed.source, buffer) == GST_FLOW_OK) ++fPushed;
        else ++fRefused;
    }
}
