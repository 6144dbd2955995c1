// Socket helpers of the RTSP server.
#pragma once

#include <cstdint>

// The local IPv4 address (network order) of a connected socket; for -1 or an
// unbound socket, the first non-loopback address of the host (loopback when
// there is none).
uint32_t serverAddressForSocket(int socketNum);
