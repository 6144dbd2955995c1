// Send-buffer sizes of the stack's sockets.
#pragma once

#include "event/UsageEnvironment.h"

// The socket's send-buffer size, or 0 (with the result message
// "getBufferSize() error: ...") when it cannot be read.
unsigned getSendBufferSize(UsageEnvironment& env, int socket);
// Raises the send buffer to at least requestedSize if it is smaller: asks for
// the size, and on refusal for sizes halfway towards the current one. Returns
// the size obtained, or 0 when the size cannot be read.
unsigned increaseSendBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize);
