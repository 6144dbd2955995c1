// The one server context of the process, shared by the exported functions
// (host threads) and the server thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "Nerivo.h"

class BasicTaskScheduler;
class BasicUsageEnvironment;
class LiveRtspServer;
class UserAuthenticationDatabase;

enum ServerState : int32_t {
    SERVER_STATE_STOPPED = 0,
    SERVER_STATE_STARTING = 1,
    SERVER_STATE_RUNNING = 2,
    SERVER_STATE_STOPPING = 3,
};

constexpr unsigned kMaxChannels = 1024;
constexpr size_t kMaxCredentialLength = 35;  // user_name / password bytes
constexpr size_t kMaxRealmLength = 63;

struct SERVER_CTX_T {
    BasicTaskScheduler* scheduler;   // server thread only
    BasicUsageEnvironment* env;      // server thread only
    std::atomic<LiveRtspServer*> server; // null until clients can connect, and during rebuilds
    std::atomic<UserAuthenticationDatabase*> auth_db;
    uint32_t port;
    SERVER_CALLBACK callback;
    void* user_ptr;
    int32_t auth_type;
    char realm[64];
    char user_name[36];
    char password[36];
    int32_t channel_count;
    CHANNEL_INFO_T channels[kMaxChannels];
    pthread_t thread;
    bool has_thread;
    std::atomic<int32_t> state;
};

// The process-wide context pointer; null while no context exists.
extern std::atomic<SERVER_CTX_T*> g_serverCtx;

// Host calls into the context (push, reset, accounts) are counted, so that the
// server thread can wait for them to leave before it frees what they use.
// Two counters alternate, so that a wait covers only the calls that began
// before it and cannot be starved by hosts that keep calling.
class ApiCall {
public:
    ApiCall();
    ~ApiCall() { sActive[fSlot].fetch_sub(1); }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;
    // Waits until every host call that began before this wait has left.
    // Callers first clear the pointer the host calls would use, so later
    // calls see null.
    static void waitForCallsToLeave();

private:
    static std::atomic<unsigned> sEpoch;
    static std::atomic<int> sActive[2];
    unsigned fSlot;
};
