// The command line of nerivo-load.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

enum class LoadTransport { Udp, Tcp };

struct LoadOptions {
    std::vector<std::string> urls;   // session i asks for urls[i % size]
    unsigned clients = 1;
    LoadTransport transport = LoadTransport::Udp;
    double durationS = 10;           // the measured window
    double keepAliveS = 30;
    double settleS = 3;              // longest wait for every stream's first packet
    double warmupS = 0;              // received but not measured, after the settle
    double setupTimeoutS = 120;      // for all sessions to reach PLAY
    double requestTimeoutS = 20;
    unsigned setupConcurrency = 32;  // sessions between connect and PLAY at once
    bool optionsKeepAlive = false;   // OPTIONS instead of GET_PARAMETER
    uint16_t udpBase = 20000;        // first client port tried
    pid_t serverPid = 0;             // sampled over the window when set
    std::string label;
    bool trace = false;              // session 0's reports and frame latencies on stderr
};

// "rtsp://h:p/ch%d" with --streams N expands to N URLs; --url may repeat.
bool parseLoadOptions(int argc, char* const* argv, LoadOptions& options, std::string& error);
const char* loadUsage();
