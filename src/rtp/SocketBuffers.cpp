#include "rtp/SocketBuffers.h"

#include <sys/socket.h>

unsigned getSendBufferSize(UsageEnvironment& env, int socket) {
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, &length) < 0) {
        env.setResultErrMsg("getBufferSize() error: ");
        return 0;
    }
    return size < 0 ? 0 : static_cast<unsigned>(size);
}

unsigned increaseSendBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize) {
    unsigned current = getSendBufferSize(env, socket);
    if (current == 0) return 0;
    while (requestedSize > current) {
        int size = requestedSize > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(requestedSize);
        if (setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) break;
        requestedSize = (requestedSize + current) / 2;
    }
    return getSendBufferSize(env, socket);
}
