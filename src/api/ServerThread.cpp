#include "api/ServerThread.h"

#include <unistd.h>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "log/CrashDumpFilter.h"
#include "log/Log.h"
#include "rtsp/UserAuthenticationDatabase.h"
#include "server/LiveRtspServer.h"

namespace {

std::atomic<bool> gFailNextStep{false};

bool stopRequested(SERVER_CTX_T* ctx) { return ctx->state.load() == SERVER_STATE_STOPPING; }

bool buildAccountTable(SERVER_CTX_T* ctx) {
    if (ctx->auth_db.load() != nullptr) return true;
    if (ctx->user_name[0] == '\0' || ctx->password[0] == '\0') return true;
    UserAuthenticationDatabase* db = UserAuthenticationDatabase::createNew(
        ctx->auth_type, ctx->realm[0] != '\0' ? ctx->realm : nullptr);
    if (db == nullptr) return false;
    db->addUserRecord(ctx->user_name, ctx->password);
    ctx->auth_db.store(db);
    return true;
}

// Listening socket and server; null when either cannot be made.
LiveRtspServer* buildServer(SERVER_CTX_T* ctx) {
    int socket = RTSPServer::setUpOurSocket(*ctx->env, static_cast<uint16_t>(ctx->port));
    if (socket < 0) return nullptr;
    LiveRtspServer* server = LiveRtspServer::createNew(
        *ctx->env, socket, static_cast<uint16_t>(ctx->port), ctx->auth_db.load(), ctx->channels,
        ctx->channel_count, ctx->callback, ctx->user_ptr);
    if (server == nullptr) ::close(socket);
    return server;
}

// Sleeps about one second in 100 ms steps; false when a stop was requested.
bool waitBeforeRetry(SERVER_CTX_T* ctx) {
    for (int i = 0; i < 10; ++i) {
        if (stopRequested(ctx)) return false;
        usleep(100 * 1000);
    }
    return !stopRequested(ctx);
}

// Builds every object the context does not hold yet. A first build that cannot
// make the server gives up; a rebuild retries every second until it succeeds
// or a stop is requested, so the loop never runs without a server.
bool buildObjects(SERVER_CTX_T* ctx, bool rebuilding) {
    if (ctx->scheduler == nullptr) ctx->scheduler = BasicTaskScheduler::createNew(10000);
    if (ctx->scheduler == nullptr) return false;
    if (ctx->env == nullptr) ctx->env = BasicUsageEnvironment::createNew(*ctx->scheduler);
    if (ctx->env == nullptr) return false;
    if (!buildAccountTable(ctx)) return false;
    for (;;) {
        LiveRtspServer* server = buildServer(ctx);
        if (server != nullptr) {
            ctx->server.store(server);
            return true;
        }
        if (!rebuilding) {
            *ctx->env << "Failed to create RTSP server: " << ctx->env->getResultMsg() << "\n";
            return false;
        }
        Log_Write(LOG_ERROR, "Failed to rebuild RTSP server (%s), retrying in 1 s\n",
                  ctx->env->getResultMsg());
        if (!waitBeforeRetry(ctx)) return false;
    }
}

// Runs steps until a stop is requested (true) or a step fails (false).
bool runEventLoop(SERVER_CTX_T* ctx) {
    while (!stopRequested(ctx)) {
        if (gFailNextStep.exchange(false)) ctx->scheduler->failNextStep();
        int status = ctx->scheduler->SingleStep(0);
        if (status < 0) {
            Log_Write(LOG_ERROR, "__RtspServerProcThread error! pTaskScheduler0->SingleStep(0) Ret:%d \n",
                      status);
            return false;
        }
        ctx->server.load()->sweepResetChannels();
    }
    return true;
}

}  // namespace

void ServerThread_FailNextStep() { gFailNextStep.store(true); }

void ServerCtx_Release(SERVER_CTX_T* ctx) {
    if (LiveRtspServer* server = ctx->server.exchange(nullptr)) {
        ApiCall::waitForCallsToLeave();
        Medium::close(server);
    }
    if (UserAuthenticationDatabase* db = ctx->auth_db.exchange(nullptr)) {
        ApiCall::waitForCallsToLeave();
        delete db;
    }
    if (ctx->env != nullptr) {
        ctx->env->reclaim();
        ctx->env = nullptr;
    }
    delete ctx->scheduler;
    ctx->scheduler = nullptr;
}

void* __RtspServerProcThread(void* context) {
    auto* ctx = static_cast<SERVER_CTX_T*>(context);
    ctx->state.store(SERVER_STATE_RUNNING);
    CrashDumpFilter_PrepareThread();  // a stack overflow here still leaves a dump
    bool rebuilding = false;
    for (;;) {
        if (!buildObjects(ctx, rebuilding)) break;
        if (runEventLoop(ctx)) break;
        ServerCtx_Release(ctx);
        rebuilding = true;
    }
    ServerCtx_Release(ctx);
    // The very last act: the context may be freed as soon as this is seen.
    ctx->state.store(SERVER_STATE_STOPPED);
    return nullptr;
}
