// Nerivo_PushFrame and Nerivo_ResetChannel: host threads reaching the channel table.
#include "api/ServerContext.h"
#include "server/LiveRtspServer.h"

extern "C" NERIVO_API int Nerivo_PushFrame(int channel_id, const PUSH_FRAME_T* frame) {
    if (channel_id < 0 || frame == nullptr) return -1;
    ApiCall call;
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) return -1;
    auto* server = ctx->server.load();
    if (server == nullptr) return -2;
    return server->pushFrame(channel_id, frame);
}

extern "C" NERIVO_API int Nerivo_ResetChannel(int channel_id) {
    if (channel_id < 0) return -1;
    ApiCall call;
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) return -1;
    auto* server = ctx->server.load();
    if (server == nullptr) return -2;
    return server->resetChannel(channel_id);
}
