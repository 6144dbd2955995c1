// Socket helpers of the RTSP server.
#pragma once

#include <cstdint>

// Raises the socket's send buffer to at least `size` bytes when the system
// allows, trying smaller sizes when it refuses. Returns the size in effect.
int increaseSocketSendBuffer(int socketNum, int size);

// The local IPv4 address (network order) of a connected socket; for -1 or an
// unbound socket, the first non-loopback address of the host (loopback when
// there is none).
uint32_t serverAddressForSocket(int socketNum);
