#include "ReliabilitySupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "TestHost.h"
#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "rtsp/Authenticator.h"
#include "rtsp/UserAuthenticationDatabase.h"
#include "rtp/Base64.h"
#include "server/LiveRtspServer.h"

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- synthetic video ----

std::vector<uint8_t> makeVideoFrame(uint32_t serial, size_t size, bool key, int64_t pushedNs) {
    if (size < 13) size = 13;
    std::vector<uint8_t> nal(size);
    nal[0] = key ? 0x65 : 0x41;
    memcpy(&nal[1], &serial, sizeof serial);
    memcpy(&nal[5], &pushedNs, sizeof pushedNs);
    for (size_t i = 13; i < size; ++i) nal[i] = static_cast<uint8_t>(0x80 | (i * 7 + serial));
    return nal;
}

bool readFrameStamp(const uint8_t* afterNalHeader, size_t size, FrameStamp& stamp) {
    if (size < 12) return false;
    memcpy(&stamp.serial, afterNalHeader, sizeof stamp.serial);
    memcpy(&stamp.pushedNs, afterNalHeader + 4, sizeof stamp.pushedNs);
    return true;
}

PushFunction libraryPush() {
    return [](int channelId, const PUSH_FRAME_T* frame) { return Nerivo_PushFrame(channelId, frame); };
}

VideoPusher::VideoPusher(PushFunction push, std::vector<int> channels, int fps, size_t frameSize)
    : fPush(std::move(push)), fChannels(std::move(channels)), fFps(fps), fFrameSize(frameSize) {}

VideoPusher::~VideoPusher() { stop(); }

void VideoPusher::start() {
    fStop.store(false);
    fThread = std::thread([this] { run(); });
}

void VideoPusher::stop() {
    fStop.store(true);
    if (fThread.joinable()) fThread.join();
}

std::map<int, uint64_t> VideoPusher::results() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fResults;
}

void VideoPusher::run() {
    auto interval = std::chrono::microseconds(1000000 / fFps);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t serial = 0; !fStop.load(); ++serial) {
        for (int channel : fChannels) {
            bool key = serial % 25 == 0;
            std::vector<uint8_t> nal = makeVideoFrame(serial, fFrameSize, key, steadyNowNs());
            PUSH_FRAME_T frame{};
            frame.media_type = NERIVO_MEDIA_VIDEO;
            frame.length = static_cast<uint32_t>(nal.size());
            frame.frame_type = key ? NERIVO_FRAME_KEY : 0;
            frame.data = nal.data();
            int result = fPush(channel, &frame);
            std::lock_guard<std::mutex> lock(fMutex);
            ++fResults[result];
        }
        fPushed.fetch_add(1);
        next += interval;
        std::this_thread::sleep_until(next);
    }
}

// ---- DirectServer ----

DirectServer::DirectServer(const DirectServerOptions& options) {
    if (options.authType >= 0) {
        fAccounts.reset(UserAuthenticationDatabase::createNew(options.authType, "reliability"));
        fAccounts->addUserRecord("user", "pass");
    }
    for (int i = 0; i < options.channels; ++i) {
        CHANNEL_INFO_T info{};
        info.channel_id = i;
        snprintf(info.stream_name, sizeof info.stream_name, "ch%d", i);
        fChannels.push_back(info);
    }
    fThread = std::thread([this, options] { serve(options); });
    std::unique_lock<std::mutex> lock(fCallMutex);
    fCallDone.wait(lock, [this] { return fReady; });
}

DirectServer::~DirectServer() {
    fStop.store(true);
    if (fScheduler != nullptr) fScheduler->triggerEvent(fTrigger, this);
    if (fThread.joinable()) fThread.join();
}

void DirectServer::serve(DirectServerOptions options) {
    fScheduler = BasicTaskScheduler::createNew(10000);
    fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    fTrigger = fScheduler->createEventTrigger(runCalls);
    uint16_t port = 0;
    int socket = -1;
    for (int attempt = 0; attempt < 20 && socket < 0; ++attempt) {
        port = freeTcpPort();
        socket = RTSPServer::setUpOurSocket(*fEnv, port);
    }
    if (socket >= 0) {
        fServer = LiveRtspServer::createNew(*fEnv, socket, port, fAccounts.get(), fChannels.data(),
                                            static_cast<int>(fChannels.size()), callback, this);
        if (fServer == nullptr) ::close(socket);
    }
    if (fServer != nullptr) {
        fServer->setReclamationSeconds(options.reclamationSeconds);
        if (options.incompleteRequestMs != 0) fServer->setIncompleteRequestTimeout(options.incompleteRequestMs);
        if (options.maxConnections != 0) fServer->setMaxClientConnections(options.maxConnections);
    }
    {
        std::lock_guard<std::mutex> lock(fCallMutex);
        fPort = port;
        fReady = true;
    }
    fCallDone.notify_all();
    while (fServer != nullptr && !fStop.load()) {
        if (fScheduler->SingleStep(0) != 0) break;
        fServer->sweepResetChannels();
    }
    runCalls(this);  // nobody waits forever for a call the loop did not run
    LiveRtspServer* server = fServer;
    fServer = nullptr;
    Medium::close(server);
    fEnv->reclaim();
    delete fScheduler;
}

void DirectServer::runCalls(void* clientData) {
    auto* self = static_cast<DirectServer*>(clientData);
    std::unique_lock<std::mutex> lock(self->fCallMutex);
    while (!self->fCalls.empty()) {
        PendingCall* pending = self->fCalls.front();
        self->fCalls.pop_front();
        lock.unlock();
        if (self->fServer != nullptr) pending->fn(*self->fServer);
        lock.lock();
        pending->done = true;
    }
    self->fCallDone.notify_all();
}

void DirectServer::call(const std::function<void(LiveRtspServer&)>& fn) {
    PendingCall pending{fn, false};
    std::unique_lock<std::mutex> lock(fCallMutex);
    if (fServer == nullptr || fStop.load()) return;
    fCalls.push_back(&pending);
    fScheduler->triggerEvent(fTrigger, this);
    fCallDone.wait(lock, [&] { return pending.done; });
}

size_t DirectServer::connections() {
    size_t count = 0;
    call([&](LiveRtspServer& server) { count = server.numClientConnections(); });
    return count;
}

size_t DirectServer::clientSessions() {
    size_t count = 0;
    call([&](LiveRtspServer& server) { count = server.numClientSessions(); });
    return count;
}

int DirectServer::push(int channelId, const PUSH_FRAME_T* frame) {
    return fServer != nullptr ? fServer->pushFrame(channelId, frame) : -2;
}

PushFunction DirectServer::pushFunction() {
    return [this](int channelId, const PUSH_FRAME_T* frame) { return push(channelId, frame); };
}

std::string DirectServer::url(const std::string& stream) const {
    return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/" + stream;
}

int DirectServer::events(int channelId, int event) const {
    std::lock_guard<std::mutex> lock(fEventMutex);
    auto it = fEvents.find({channelId, event});
    return it == fEvents.end() ? 0 : it->second;
}

int DirectServer::callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr) {
    auto* self = static_cast<DirectServer*>(userPtr);
    {
        std::lock_guard<std::mutex> lock(self->fEventMutex);
        ++self->fEvents[{channelId, event}];
    }
    if (event == CHANNEL_EVT_DESCRIBE) *desc = TestHost::h264Description();
    return 0;
}

// ---- StreamClient ----

StreamClient::StreamClient(uint16_t port, std::string url, Transport transport)
    : fRtsp(port), fUrl(std::move(url)), fTransport(transport) {}

StreamClient::~StreamClient() = default;

RtspResponse StreamClient::request(const std::string& method, const std::string& url, const std::string& extra) {
    RtspResponse response = fRtsp.request(method, url, extra);
    // '$' frames read while waiting for the answer came before it.
    int64_t now = steadyNowNs();
    for (const InterleavedFrame& frame : fRtsp.readFrames(0, 0)) {
        if (frame.channel == 0) takeRtp(frame.data.data(), frame.data.size(), now);
    }
    return response;
}

RtspResponse StreamClient::ask(const std::string& method, const std::string& url, const std::string& extra) {
    auto credentials = [&] {
        return fChallenge.empty() ? "" : digestCredentials(fChallenge, method, url, fDigestUser, fDigestPassword);
    };
    RtspResponse response = request(method, url, extra + credentials());
    if (response.status == 401 && fDigest && !response.header("WWW-Authenticate").empty()) {
        fChallenge = response.text;
        response = request(method, url, extra + credentials());
    }
    return response;
}

bool StreamClient::start(const std::string& extraHeaders) {
    RtspResponse describe = ask("DESCRIBE", fUrl, "Accept: application/sdp\r\n" + extraHeaders);
    if (describe.status != 200) {
        fFailure = "DESCRIBE: " + describe.text;
        return false;
    }
    std::string base = describe.header("Content-Base");
    if (base.empty()) base = fUrl + "/";
    std::string sdp = describe.body();
    size_t media = sdp.find("m=video");
    size_t control = media == std::string::npos ? std::string::npos : sdp.find("a=control:", media);
    std::string track = control == std::string::npos
                            ? "track1"
                            : sdp.substr(control + 10, sdp.find("\r\n", control) - control - 10);
    fControl = base + track;
    RtspResponse setup;
    if (fTransport == Transport::Tcp) {
        setup = ask("SETUP", fControl, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + extraHeaders);
    } else {
        fUdp = std::make_unique<UdpPair>();
        if (!fUdp->ok()) {
            fFailure = "no UDP pair";
            return false;
        }
        setup = ask("SETUP", fControl,
                    "Transport: RTP/AVP;unicast;client_port=" + std::to_string(fUdp->rtpPort) + "-" +
                        std::to_string(fUdp->rtpPort + 1) + "\r\n" + extraHeaders);
    }
    if (setup.status != 200) {
        fFailure = "SETUP: " + setup.text;
        return false;
    }
    std::string transport = setup.header("Transport");
    size_t serverPort = transport.find("server_port=");
    if (serverPort != std::string::npos) {
        size_t dash = transport.find('-', serverPort);
        if (dash != std::string::npos) fServerRtcpPort = static_cast<uint16_t>(atoi(transport.c_str() + dash + 1));
    }
    RtspResponse play = ask("PLAY", base, "Range: npt=0.000-\r\n" + extraHeaders);
    if (play.status != 200) {
        fFailure = "PLAY: " + play.text;
        return false;
    }
    // Frames that came with the responses are in the client's pending bytes.
    takeInterleaved(steadyNowNs());
    return true;
}

bool StreamClient::keepAlive() {
    std::string text = "GET_PARAMETER " + fUrl + " RTSP/1.0\r\nCSeq: 999\r\nSession: " + fRtsp.sessionId() +
                       "\r\n\r\n";
    return fRtsp.sendRaw(text);
}

bool StreamClient::sendReceiverReport() {
    if (fUdp == nullptr || fServerRtcpPort == 0) return false;
    const uint8_t report[8] = {0x80, 201, 0, 1, 0x12, 0x34, 0x56, 0x78};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(fServerRtcpPort);
    return sendto(fUdp->rtcp, report, sizeof report, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(sizeof report);
}

void StreamClient::setReceiveBuffer(int bytes) {
    setsockopt(fRtsp.socket(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void StreamClient::takeRtp(const uint8_t* data, size_t size, int64_t nowNs) {
    if (size < 12 || (data[0] >> 6) != 2) return;
    ++fPackets;
    uint16_t seq = static_cast<uint16_t>(data[2] << 8 | data[3]);
    if (fHaveSeq && seq != fNextSeq) ++fGaps;
    fHaveSeq = true;
    fNextSeq = static_cast<uint16_t>(seq + 1);
    bool marker = (data[1] & 0x80) != 0;
    size_t header = 12 + 4 * (data[0] & 0x0F);
    if (size <= header + 2) return;
    const uint8_t* payload = data + header;
    size_t payloadSize = size - header;
    uint8_t type = payload[0] & 0x1F;
    if (type == 28) {
        if (payload[1] & 0x80) fHaveStamp = readFrameStamp(payload + 2, payloadSize - 2, fStamp);
    } else if (type == 1 || type == 5) {
        fHaveStamp = readFrameStamp(payload + 1, payloadSize - 1, fStamp);
    }
    if (marker) {
        ++fFrames;
        if (fHaveStamp) fLatencies.push_back(nowNs - fStamp.pushedNs);
        fHaveStamp = false;
    }
}

void StreamClient::takeInterleaved(int64_t nowNs) {
    std::string& pending = fRtsp.pending();
    size_t pos = 0;
    while (pos < pending.size()) {
        if (pending[pos] == '$') {
            if (pending.size() - pos < 4) break;
            size_t length = static_cast<uint8_t>(pending[pos + 2]) << 8 | static_cast<uint8_t>(pending[pos + 3]);
            if (pending.size() - pos < 4 + length) break;
            if (pending[pos + 1] == 0) takeRtp(reinterpret_cast<const uint8_t*>(pending.data()) + pos + 4, length, nowNs);
            pos += 4 + length;
        } else if (pending.compare(pos, 5, "RTSP/") == 0) {
            size_t end = pending.find("\r\n\r\n", pos);
            if (end == std::string::npos) break;
            pos = end + 4;  // keep-alive answers carry no body
        } else {
            ++pos;  // not expected: skip a byte rather than stall
        }
    }
    pending.erase(0, pos);
}

void StreamClient::receiveOnce(int timeoutMs) {
    if (fTransport == Transport::Tcp) {
        // Everything the socket holds now (a read takes at most 64 kB).
        if (!fRtsp.receive(timeoutMs)) fClosed = true;
        for (int reads = 1; reads < 64 && !fClosed; ++reads) {
            pollfd p{fRtsp.socket(), POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) break;
            if (!fRtsp.receive(0)) fClosed = true;
        }
        takeInterleaved(steadyNowNs());
        return;
    }
    // Also watch the RTSP connection for a close.
    pollfd fds[2] = {{fUdp->rtp, POLLIN, 0}, {fRtsp.socket(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    if (fds[1].revents != 0) {
        char buffer[4096];
        ssize_t n = recv(fRtsp.socket(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) fClosed = true;
    }
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = recv(fUdp->rtp, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        takeRtp(buffer, static_cast<size_t>(n), steadyNowNs());
    }
}

void StreamClient::receiveFor(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // At least one read, also when the time is shorter than a millisecond.
    do {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        long wait = left.count() < 0 ? 0 : left.count();
        receiveOnce(static_cast<int>(wait < 20 ? wait : 20));
    } while (!fClosed && std::chrono::steady_clock::now() < deadline);
}

bool StreamClient::receiveFrames(size_t count, int timeoutMs) {
    size_t target = fFrames + count;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fFrames < target && !fClosed && std::chrono::steady_clock::now() < deadline) receiveOnce(20);
    return fFrames >= target;
}

// ---- ConnectionSwarm ----

ConnectionSwarm::ConnectionSwarm(uint16_t port, size_t count) {
    fSockets.resize(count);
    for (size_t i = 0; i < count; ++i) {
        fSockets[i].fd = connectLoopback(port);
        // The listen queue holds 21: a burst beyond it costs a SYN
        // retransmission (a second or more), so let the server catch up.
        if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

ConnectionSwarm::~ConnectionSwarm() { closeAll(); }

void ConnectionSwarm::closeAll() {
    for (Peer& peer : fSockets) {
        if (peer.fd >= 0) ::close(peer.fd);
        peer.fd = -1;
    }
}

size_t ConnectionSwarm::connected() const {
    size_t n = 0;
    for (const Peer& peer : fSockets) n += peer.fd >= 0 ? 1 : 0;
    return n;
}

void ConnectionSwarm::sendAll(const std::function<std::string(size_t)>& request) {
    for (size_t i = 0; i < fSockets.size(); ++i) {
        Peer& peer = fSockets[i];
        if (peer.fd < 0 || peer.closed) continue;
        std::string text = request(i);
        if (send(peer.fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
            peer.closed = true;
    }
}

void ConnectionSwarm::readPeer(Peer& peer) {
    char buffer[8192];
    ssize_t n = recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        peer.closed = true;
        return;
    }
    if (n < 0) return;
    peer.pending.append(buffer, static_cast<size_t>(n));
    for (;;) {
        size_t end = peer.pending.find("\r\n\r\n");
        if (end == std::string::npos) break;
        size_t want = end + 4;
        size_t cl = peer.pending.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) want += strtoul(peer.pending.c_str() + cl + 16, nullptr, 10);
        if (peer.pending.size() < want) break;
        peer.pending.erase(0, want);
        ++peer.responses;
    }
}

size_t ConnectionSwarm::collect(size_t responses, int timeoutMs) {
    std::vector<size_t> targets;
    for (const Peer& peer : fSockets) targets.push_back(peer.responses + responses);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> index;
        size_t done = 0;
        for (size_t i = 0; i < fSockets.size(); ++i) {
            Peer& peer = fSockets[i];
            if (peer.fd < 0) continue;
            if (peer.responses >= targets[i]) {
                ++done;
                continue;
            }
            if (peer.closed) continue;
            fds.push_back({peer.fd, POLLIN, 0});
            index.push_back(i);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (fds.empty() || left.count() <= 0) return done;
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count() < 50 ? left.count() : 50)) <= 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents != 0) readPeer(fSockets[index[k]]);
        }
    }
}

size_t ConnectionSwarm::closedByServer() const {
    size_t n = 0;
    for (const Peer& peer : fSockets) {
        if (peer.fd < 0) continue;
        if (peer.closed) {
            ++n;
            continue;
        }
        char byte;
        ssize_t got = recv(peer.fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) ++n;
    }
    return n;
}

bool waitForClose(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return true;
    }
}

std::string readResponse(int fd, int timeoutMs) { return rtspExchange(fd, "", timeoutMs); }

int statusOf(const std::string& response) {
    if (response.compare(0, 9, "RTSP/1.0 ") != 0 && response.compare(0, 9, "HTTP/1.0 ") != 0 &&
        response.compare(0, 9, "HTTP/1.1 ") != 0)
        return 0;
    return atoi(response.c_str() + 9);
}

HttpTunnel::HttpTunnel(uint16_t port, const std::string& cookie) : fPort(port), fCookie(cookie) {}

HttpTunnel::~HttpTunnel() {
    if (fGet >= 0) ::close(fGet);
    if (fPost >= 0) ::close(fPost);
}

bool HttpTunnel::open() {
    fGet = connectLoopback(fPort);
    if (fGet < 0) return false;
    std::string get = "GET /ch0 HTTP/1.0\r\nx-sessioncookie: " + fCookie +
                      "\r\nAccept: application/x-rtsp-tunnelled\r\n\r\n";
    if (statusOf(rtspExchange(fGet, get)) != 200) return false;
    return reopenPost();
}

bool HttpTunnel::reopenPost() {
    if (fPost >= 0) {
        ::close(fPost);
        // The server drops the old POST before the new one comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fPost = connectLoopback(fPort);
    if (fPost < 0) return false;
    std::string post = "POST /ch0 HTTP/1.0\r\nx-sessioncookie: " + fCookie +
                       "\r\nContent-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n";
    return send(fPost, post.data(), post.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(post.size());
}

bool HttpTunnel::sendRequest(const std::string& text, size_t piece, int pauseMs) {
    std::string encoded = base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (piece == 0) piece = encoded.size();
    for (size_t pos = 0; pos < encoded.size(); pos += piece) {
        std::string part = encoded.substr(pos, piece);
        if (send(fPost, part.data(), part.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(part.size())) return false;
        if (pauseMs > 0 && pos + piece < encoded.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return true;
}

// ---- process figures ----

namespace {

size_t countEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return 0;
    size_t n = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

}  // namespace

size_t openDescriptorCount() { return countEntries("/proc/self/fd") - 1; }  // less the directory's own

size_t threadCount() { return countEntries("/proc/self/task"); }

double processCpuSeconds(pid_t pid) {
    std::string path = pid == 0 ? "/proc/self/stat" : "/proc/" + std::to_string(pid) + "/stat";
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // After the command: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool raiseDescriptorLimit(size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    limit.rlim_cur = limit.rlim_max < wanted ? limit.rlim_max : wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur >= wanted;
}

std::string basicCredentials(const std::string& user, const std::string& password) {
    std::string pair = user + ":" + password;
    return "Authorization: Basic " + base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size()) +
           "\r\n";
}

namespace {

std::string quotedParameter(const std::string& text, const std::string& name) {
    size_t pos = text.find(name + "=\"");
    if (pos == std::string::npos) return "";
    pos += name.size() + 2;
    return text.substr(pos, text.find('"', pos) - pos);
}

}  // namespace

std::string digestCredentials(const std::string& challengeResponse, const std::string& method,
                              const std::string& uri, const std::string& user, const std::string& password) {
    std::string realm = quotedParameter(challengeResponse, "realm");
    std::string nonce = quotedParameter(challengeResponse, "nonce");
    std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
    std::string ha2 = md5Hex(method + ":" + uri);
    std::string response = md5Hex(ha1 + ":" + nonce + ":" + ha2);
    return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", response=\"" + response + "\"\r\n";
}
