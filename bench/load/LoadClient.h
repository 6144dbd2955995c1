// The load client: N sessions on one epoll loop, in phases: set up (at most
// `setupConcurrency` at once), settle until every stream delivers, measure
// for the window, tear down. Counts packets and bytes per second, loss,
// latency and time to first packet over the window, with the server's CPU
// and memory when its PID is given.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LatencyHistogram.h"
#include "LoadOptions.h"
#include "ProcessStats.h"
#include "RtpReceiveStats.h"

class LoadSession;

// Buffers for receiving a batch of datagrams with their arrival times.
struct DatagramBatch {
    static constexpr unsigned kCount = 64;
    static constexpr unsigned kSize = 2048;
    DatagramBatch();
    std::vector<uint8_t> data;
    std::vector<uint8_t> control;
    std::vector<mmsghdr> headers;
    std::vector<iovec> vectors;
    void reset();  // restores the lengths that recvmmsg shrinks
};

class LoadClient {
public:
    explicit LoadClient(const LoadOptions& options);
    ~LoadClient();

    // Runs all phases; 0 when the report was printed.
    int run();

    // For the sessions.
    const LoadOptions& options() const { return fOptions; }
    int epollFd() const { return fEpoll; }
    DatagramBatch& batch() { return fBatch; }
    // Binds a UDP pair (even port, port + 1) on 127.0.0.1.
    bool openUdpPair(int& rtpFd, int& rtcpFd, uint16_t& port);
    // One RTP packet arrived; counted when the window is open.
    void notePacket(size_t bytes, int64_t arrivalWallUs);
    void noteLatency(int64_t micros);
    void noteSetupFinished() { --fSettingUp; }
    bool measuring() const { return fPhase == Phase::Window; }

private:
    enum class Phase { Setup, Settle, Warmup, Window, Teardown, Done };

    void loopOnce(int timeoutMs);
    void startSessions();
    void tickSessions();
    void advancePhase();
    void openWindow();
    void closeWindow();
    bool allDelivering() const;
    bool teardownFinished() const;
    void report() const;

    LoadOptions fOptions;
    int fEpoll = -1;
    DatagramBatch fBatch;
    std::vector<std::unique_ptr<LoadSession>> fSessions;
    uint16_t fNextPort;
    size_t fNextToStart = 0;
    unsigned fSettingUp = 0;
    Phase fPhase = Phase::Setup;
    int64_t fPhaseStartMono = 0;
    int64_t fStartMono = 0;
    int64_t fLastTickMono = 0;
    double fSetupSeconds = 0;

    // Window
    int64_t fWindowStartWallUs = 0;
    int64_t fWindowStartMono = 0;
    double fWindowSeconds = 0;
    std::vector<uint64_t> fPacketsPerSecond;
    std::vector<uint64_t> fBytesPerSecond;
    uint64_t fPackets = 0;
    uint64_t fBytes = 0;
    LatencyHistogram fLatency;
    std::vector<SequenceSnapshot> fSeqAtStart;
    std::vector<SequenceSnapshot> fSeqAtEnd;
    std::vector<uint64_t> fGapsAtStart;
    std::vector<uint64_t> fGapsAtEnd;
    std::vector<uint64_t> fReportsAtEnd;
    unsigned fPlayingAtStart = 0;
    ProcessSample fServerAtStart;
    ProcessSample fServerAtEnd;
    double fOwnCpuAtStart = 0;
    double fOwnCpuAtEnd = 0;
};
