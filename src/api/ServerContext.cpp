#include "api/ServerContext.h"

#include <sched.h>

std::atomic<SERVER_CTX_T*> g_serverCtx{nullptr};
std::atomic<int> ApiCall::sActive{0};

void ApiCall::waitForCallsToLeave() {
    // Host calls hold no lock the server thread holds, so they leave quickly.
    while (sActive.load() != 0) sched_yield();
}
