#include "api/ServerContext.h"

#include <sched.h>

std::atomic<SERVER_CTX_T*> g_serverCtx{nullptr};
std::atomic<unsigned> ApiCall::sEpoch{0};
std::atomic<int> ApiCall::sActive[2] = {{0}, {0}};

ApiCall::ApiCall() {
    for (;;) {
        unsigned epoch = sEpoch.load();
        fSlot = epoch & 1;
        sActive[fSlot].fetch_add(1);
        if (sEpoch.load() == epoch) return;
        sActive[fSlot].fetch_sub(1);  // a wait began in between: count in the new slot
    }
}

void ApiCall::waitForCallsToLeave() {
    unsigned slot = sEpoch.fetch_add(1) & 1;
    // Host calls hold nothing the server thread holds, so they leave quickly.
    while (sActive[slot].load() != 0) sched_yield();
}
