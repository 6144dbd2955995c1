// Helpers of the reliability tests: a server built directly on a thread of
// the test (so that its limits and time-outs can be shortened), a pusher of
// synthetic H.264 frames that carry their push time, streaming clients that
// check what arrives, raw connection swarms, and process figures.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "Nerivo.h"
#include "RtspTestClient.h"

class BasicTaskScheduler;
class BasicUsageEnvironment;
class LiveRtspServer;
class UserAuthenticationDatabase;

int64_t steadyNowNs();
// Waits up to timeoutMs for pred() to hold (10 ms steps); returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);

// ---- synthetic video ----

// An H.264 NAL unit of `size` bytes (at least 13): IDR slice or non-IDR
// slice, then the frame's serial number and push time, then filler that
// holds no start code.
std::vector<uint8_t> makeVideoFrame(uint32_t serial, size_t size, bool key, int64_t pushedNs);
struct FrameStamp {
    uint32_t serial = 0;
    int64_t pushedNs = 0;
};
// Reads the stamp from the bytes that follow the NAL header.
bool readFrameStamp(const uint8_t* afterNalHeader, size_t size, FrameStamp& stamp);

using PushFunction = std::function<int(int channelId, const PUSH_FRAME_T* frame)>;
PushFunction libraryPush();  // Nerivo_PushFrame

// A host thread pushing frames into channels at a frame rate: a key frame
// every 25 frames, each frame stamped with its push time.
class VideoPusher {
public:
    VideoPusher(PushFunction push, std::vector<int> channels, int fps = 25, size_t frameSize = 4000);
    ~VideoPusher();
    VideoPusher(const VideoPusher&) = delete;
    VideoPusher& operator=(const VideoPusher&) = delete;
    void start();
    void stop();
    uint64_t pushed() const { return fPushed.load(); }
    // Results of the push function by value.
    std::map<int, uint64_t> results() const;

private:
    void run();
    PushFunction fPush;
    std::vector<int> fChannels;
    int fFps;
    size_t fFrameSize;
    std::atomic<bool> fStop{false};
    std::atomic<uint64_t> fPushed{0};
    mutable std::mutex fMutex;
    std::map<int, uint64_t> fResults;
    std::thread fThread;
};

// ---- a server on a thread of the test ----

struct DirectServerOptions {
    int channels = 1;                // "ch0" ... with ids 0 ...
    int authType = -1;               // -1: no accounts; 0 Basic, 1 Digest ("user"/"pass")
    unsigned reclamationSeconds = 65;
    unsigned incompleteRequestMs = 0;   // 0: the server's default
    size_t maxConnections = 0;          // 0: the server's default
};

// The library's RTSP server with its channel table, built and run on a
// thread of its own, with a host callback that describes every channel as
// H.264 and counts events. Host-side calls (push, reset) go straight to the
// server from any thread, as the exported functions do.
class DirectServer {
public:
    explicit DirectServer(const DirectServerOptions& options = DirectServerOptions());
    ~DirectServer();
    DirectServer(const DirectServer&) = delete;
    DirectServer& operator=(const DirectServer&) = delete;

    bool ok() const { return fServer != nullptr; }
    uint16_t port() const { return fPort; }
    std::string url(const std::string& stream) const;
    // Runs fn on the server thread between two steps and waits for it.
    void call(const std::function<void(LiveRtspServer&)>& fn);
    size_t connections();
    size_t clientSessions();
    int push(int channelId, const PUSH_FRAME_T* frame);
    PushFunction pushFunction();
    int events(int channelId, int event) const;
    UserAuthenticationDatabase* accounts() const { return fAccounts.get(); }

private:
    static int callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr);
    static void runCalls(void* clientData);
    void serve(DirectServerOptions options);

    std::unique_ptr<UserAuthenticationDatabase> fAccounts;
    std::vector<CHANNEL_INFO_T> fChannels;
    BasicTaskScheduler* fScheduler = nullptr;
    BasicUsageEnvironment* fEnv = nullptr;
    LiveRtspServer* fServer = nullptr;
    unsigned fTrigger = 0;
    uint16_t fPort = 0;
    std::atomic<bool> fStop{false};
    std::mutex fCallMutex;
    std::condition_variable fCallDone;
    struct PendingCall {
        std::function<void(LiveRtspServer&)> fn;
        bool done;
    };
    std::deque<PendingCall*> fCalls;
    bool fReady = false;
    mutable std::mutex fEventMutex;
    std::map<std::pair<int, int>, int> fEvents;
    std::thread fThread;
};

// ---- clients ----

enum class Transport { Tcp, Udp };

// One client that describes a channel, sets up its video track and plays it,
// then counts what arrives: RTP packets, completed frames with their
// latency from the push, and sequence gaps.
class StreamClient {
public:
    StreamClient(uint16_t port, std::string url, Transport transport);
    ~StreamClient();
    // DESCRIBE (extra headers for credentials), SETUP, PLAY; false with the
    // failing step in failure().
    bool start(const std::string& extraHeaders = "");
    // Answers Digest challenges with this account from now on.
    void useDigest(const std::string& user = "user", const std::string& password = "pass") {
        fDigest = true;
        fDigestUser = user;
        fDigestPassword = password;
    }
    // Reads what arrives for about ms milliseconds.
    void receiveFor(int ms);
    // Reads until `count` more frames are complete, or timeoutMs passed.
    bool receiveFrames(size_t count, int timeoutMs = 5000);
    // A request on the client's connection; media that arrives meanwhile is
    // counted.
    RtspResponse request(const std::string& method, const std::string& url, const std::string& extra = "");
    // Sends a keep-alive GET_PARAMETER within the session (no answer awaited).
    bool keepAlive();
    // UDP: an RTCP receiver report from the client's RTCP port to the
    // server's.
    bool sendReceiverReport();

    size_t frames() const { return fFrames; }
    size_t packets() const { return fPackets; }
    size_t sequenceGaps() const { return fGaps; }
    bool closedByServer() const { return fClosed; }
    const std::vector<int64_t>& latenciesNs() const { return fLatencies; }
    void clearLatencies() { fLatencies.clear(); }
    RtspTestClient& rtsp() { return fRtsp; }
    const std::string& failure() const { return fFailure; }
    const std::string& controlUrl() const { return fControl; }
    UdpPair* udp() { return fUdp.get(); }
    // Stops reading altogether (the socket keeps its small receive buffer).
    void setReceiveBuffer(int bytes);

private:
    void takeRtp(const uint8_t* data, size_t size, int64_t nowNs);
    void takeInterleaved(int64_t nowNs);
    void receiveOnce(int timeoutMs);
    // A request with the extra headers and, once challenged, Digest
    // credentials; a first Digest challenge is answered once.
    RtspResponse ask(const std::string& method, const std::string& url, const std::string& extra);

    RtspTestClient fRtsp;
    std::string fUrl;
    std::string fControl;
    Transport fTransport;
    std::unique_ptr<UdpPair> fUdp;
    std::string fFailure;
    bool fDigest = false;
    std::string fDigestUser;
    std::string fDigestPassword;
    std::string fChallenge;
    uint16_t fServerRtcpPort = 0;
    size_t fFrames = 0;
    size_t fPackets = 0;
    size_t fGaps = 0;
    bool fHaveSeq = false;
    uint16_t fNextSeq = 0;
    bool fHaveStamp = false;
    FrameStamp fStamp;
    bool fClosed = false;
    std::vector<int64_t> fLatencies;
};

// Many plain connections to one port, driven together with poll().
class ConnectionSwarm {
public:
    ConnectionSwarm(uint16_t port, size_t count);
    ~ConnectionSwarm();
    size_t size() const { return fSockets.size(); }
    size_t connected() const;
    // Sends `request(i)` on every open connection i.
    void sendAll(const std::function<std::string(size_t)>& request);
    // Reads until every open connection has `responses` complete responses
    // more than before, or timeoutMs passed; returns how many connections did.
    size_t collect(size_t responses, int timeoutMs);
    // Connections the server has closed (seen as end of stream or reset).
    size_t closedByServer() const;
    void closeAll();

private:
    struct Peer {
        int fd = -1;
        std::string pending;
        size_t responses = 0;
        bool closed = false;
    };
    void readPeer(Peer& peer);
    std::vector<Peer> fSockets;
};

// True when the peer closes (end of stream or reset) within timeoutMs;
// whatever arrives before is read and dropped.
bool waitForClose(int fd, int timeoutMs);
// Reads one response (head and Content-Length body) from fd; "" on time-out
// or close.
std::string readResponse(int fd, int timeoutMs = 3000);
int statusOf(const std::string& response);

// An RTSP-over-HTTP tunnel: a GET connection that carries the answers and a
// POST connection that carries the requests in Base64.
class HttpTunnel {
public:
    HttpTunnel(uint16_t port, const std::string& cookie);
    ~HttpTunnel();
    // GET and POST heads sent and the GET answered "200 OK".
    bool open();
    // Sends request text over the POST, Base64-encoded, optionally in
    // pieces of `piece` characters with `pauseMs` between them.
    bool sendRequest(const std::string& text, size_t piece = 0, int pauseMs = 0);
    // Closes the POST and opens another for the same GET.
    bool reopenPost();
    int getFd() const { return fGet; }
    int postFd() const { return fPost; }

private:
    uint16_t fPort;
    std::string fCookie;
    int fGet = -1;
    int fPost = -1;
};

// ---- process figures ----

size_t openDescriptorCount();  // entries of /proc/self/fd
size_t threadCount();          // entries of /proc/self/task
// User plus system CPU time of a process (or of this one) in seconds.
double processCpuSeconds(pid_t pid = 0);
// Raises the soft descriptor limit to at least `wanted` (not beyond the
// hard limit); false when it stays lower.
bool raiseDescriptorLimit(size_t wanted);

// Sends the Basic credentials "user:pass" as a header line.
std::string basicCredentials(const std::string& user = "user", const std::string& password = "pass");
// The Digest header line answering a 401 challenge for method and uri.
std::string digestCredentials(const std::string& challengeResponse, const std::string& method,
                              const std::string& uri, const std::string& user = "user",
                              const std::string& password = "pass");
