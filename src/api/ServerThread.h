// The server thread: builds the streaming objects from the context, runs the
// event loop with the reset sweep after every step, rebuilds after a failed
// step and releases everything when asked to stop.
#pragma once

#include "api/ServerContext.h"

void* __RtspServerProcThread(void* context);

// Releases server, account table, environment and scheduler, in that order.
void ServerCtx_Release(SERVER_CTX_T* context);

// Test hook: the server thread's next scheduler step fails.
void ServerThread_FailNextStep();
