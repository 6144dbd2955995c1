// Nerivo_Startup and Nerivo_Shutdown: the context and the start/stop handshakes.
#include <unistd.h>

#include <cstring>
#include <new>

#include "api/ServerContext.h"
#include "api/ServerThread.h"
#include "log/CrashDumpFilter.h"

namespace {

constexpr useconds_t kHandshakePollUs = 100 * 1000;

bool longerThan(const char* text, size_t limit) {
    return text != nullptr && strnlen(text, limit + 1) > limit;
}

void copySettings(SERVER_CTX_T* ctx, unsigned short port, int auth_type, const char* realm,
                  const char* user_name, const char* password, SERVER_CALLBACK callback,
                  void* user_ptr, const CHANNEL_INFO_T* channels, unsigned int channel_count) {
    unsigned count = channel_count > kMaxChannels ? kMaxChannels : channel_count;
    memcpy(ctx->channels, channels, count * sizeof(CHANNEL_INFO_T));
    ctx->channel_count = static_cast<int32_t>(count);
    memset(ctx->user_name, 0, sizeof ctx->user_name);
    memset(ctx->password, 0, sizeof ctx->password);
    if (user_name != nullptr && user_name[0] != '\0') strcpy(ctx->user_name, user_name);
    if (password != nullptr && password[0] != '\0') strcpy(ctx->password, password);
    if (realm != nullptr && realm[0] != '\0') {
        memset(ctx->realm, 0, sizeof ctx->realm);
        strcpy(ctx->realm, realm);
    }
    ctx->auth_type = auth_type;
    ctx->port = port;
    ctx->callback = callback;
    ctx->user_ptr = user_ptr;
}

void waitUntilStarted(SERVER_CTX_T* ctx) {
    int32_t state;
    while ((state = ctx->state.load()) != SERVER_STATE_RUNNING && state != SERVER_STATE_STOPPED)
        usleep(kHandshakePollUs);
    while (ctx->server.load() == nullptr && ctx->state.load() != SERVER_STATE_STOPPED)
        usleep(kHandshakePollUs);
}

}  // namespace

extern "C" NERIVO_API int Nerivo_Startup(unsigned short port, int auth_type, const char* realm,
                                         const char* user_name, const char* password,
                                         SERVER_CALLBACK callback, void* user_ptr,
                                         const CHANNEL_INFO_T* channels,
                                         unsigned int channel_count) {
    if (port == 0) return -1;
    if (channels == nullptr) return -2;
    if (channel_count == 0) return -3;
    if (longerThan(user_name, kMaxCredentialLength) || longerThan(password, kMaxCredentialLength) ||
        longerThan(realm, kMaxRealmLength))
        return -6;
    CrashDumpFilter_Install();
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) {
        ctx = new (std::nothrow) SERVER_CTX_T();  // value-initialised: zero-filled
        if (ctx == nullptr) return -4;
        g_serverCtx.store(ctx);
    }
    if (!ctx->has_thread) {
        copySettings(ctx, port, auth_type, realm, user_name, password, callback, user_ptr, channels,
                     channel_count);
        ctx->state.store(SERVER_STATE_STARTING);
        if (pthread_create(&ctx->thread, nullptr, __RtspServerProcThread, ctx) == 0) {
            ctx->has_thread = true;
            waitUntilStarted(ctx);
        } else {
            ctx->state.store(SERVER_STATE_STOPPED);
        }
    }
    return ctx->state.load() != SERVER_STATE_STOPPED ? 0 : -5;
}

extern "C" NERIVO_API int Nerivo_Shutdown(void) {
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) return 0;
    // From the host callback the stop would wait for the very thread that waits.
    if (ctx->has_thread && pthread_equal(pthread_self(), ctx->thread)) return -7;
    for (;;) {
        int32_t running = SERVER_STATE_RUNNING;
        ctx->state.compare_exchange_strong(running, SERVER_STATE_STOPPING);
        if (ctx->state.load() == SERVER_STATE_STOPPED) break;
        usleep(kHandshakePollUs);
    }
    if (ctx->has_thread) {
        pthread_join(ctx->thread, nullptr);
        ctx->has_thread = false;
    }
    g_serverCtx.store(nullptr);
    ApiCall::waitForCallsToLeave();
    delete ctx;
    return 0;
}
