// Small loopback helpers for tests.
#pragma once

#include <cstdint>
#include <string>

// A TCP port that was free a moment ago.
uint16_t freeTcpPort();
// Connects to 127.0.0.1:port; -1 on failure.
int connectLoopback(uint16_t port);
// Sends a request and reads until "\r\n\r\n" plus Content-Length, or timeout.
std::string rtspExchange(int socket, const std::string& request, int timeoutMs = 2000);
