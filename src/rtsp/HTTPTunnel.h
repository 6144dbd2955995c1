// Framing of the POST that opens the client-to-server half of an HTTP
// tunnel. Its Content-Length announces the Base64 stream that follows (often
// a dummy 32767), not a body to wait for, so the head is framed on its own.
#pragma once

#include <cstddef>
#include <string>

struct RTSPRequest;

// True when the buffered bytes (after leading line ends) begin "POST ".
bool looksLikeTunnelPost(const char* data, size_t size);

// Frames and parses the POST head at the start of data. Returns the head's
// length (leading line ends included), 0 when more bytes are needed, -1 when
// it can never be a valid head. `request` points into `headStorage`.
int parseTunnelPostHead(const char* data, size_t size, std::string& headStorage,
                        RTSPRequest& request);
