#include "rtsp/RTSPClientConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "event/BasicTaskScheduler.h"
#include "rtp/TCPStreamSocket.h"
#include "rtsp/AccessCheck.h"
#include "rtsp/RTSPClientSession.h"
#include "rtsp/RTSPRequest.h"
#include "rtsp/RTSPResponses.h"
#include "rtsp/RTSPServer.h"
#include "rtsp/ServerMediaSession.h"
#include "rtsp/SocketUtil.h"

namespace {

// How soon a deferred request is tried again (µs).
constexpr int64_t kRetryDelay = 10000;
// Bytes asked of the socket per read (and the first size of the input buffer).
constexpr size_t kReadChunk = 4096;
// Longest x-sessioncookie accepted.
constexpr size_t kMaxCookieLength = 255;
// A time-out check that cannot act now (a handler of the connection runs,
// or a deferred request waits) looks again this much later (µs).
constexpr int64_t kTimeoutRecheckDelay = 100000;
constexpr int64_t kNoDeadline = INT64_MAX;

bool parseSessionId(std::string_view text, uint32_t& id) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    id = value;
    return true;
}

std::string joinPath(std::string const& urlPreSuffix, std::string const& urlSuffix) {
    return urlPreSuffix.empty() ? urlSuffix : urlPreSuffix + "/" + urlSuffix;
}

// The buffered bytes (after leading line ends) begin a tunnel's POST.
bool looksLikeTunnelPost(const char* data, size_t size) {
    size_t start = 0;
    while (start < size && (data[start] == '\r' || data[start] == '\n')) ++start;
    return size - start >= 5 && memcmp(data + start, "POST ", 5) == 0;
}

bool isSessionMethod(std::string_view method) {
    return method == "PLAY" || method == "PAUSE" || method == "TEARDOWN" ||
           method == "GET_PARAMETER" || method == "SET_PARAMETER";
}

}  // namespace

RTSPClientConnection* RTSPClientConnection::createNew(RTSPServer& server, int clientSocket,
                                                      sockaddr_in const& clientAddr) {
    auto* connection = new (std::nothrow) RTSPClientConnection(server, clientSocket, clientAddr);
    if (connection == nullptr) return nullptr;
    if (!connection->init()) {
        connection->fSocket = -1;  // stays with the caller
        delete connection;
        return nullptr;
    }
    return connection;
}

RTSPClientConnection::RTSPClientConnection(RTSPServer& server, int clientSocket,
                                           sockaddr_in const& clientAddr)
    : fServer(server),
      fConnectionId(server.takeConnectionId()),
      fSocket(clientSocket),
      fClientAddr(clientAddr) {}

bool RTSPClientConnection::init() {
    fStreamSocket = TCPStreamSocket::createNew(fServer.envir(), fSocket);
    if (fStreamSocket == nullptr) return false;
    fStreamSocket->setReadHandler(readHandler, this);
    fStreamSocket->attachClient(this);
    noteActivity();
    return true;
}

RTSPClientConnection::~RTSPClientConnection() {
    fCloseRequested = true;
    TaskScheduler& scheduler = fServer.envir().taskScheduler();
    scheduler.unscheduleDelayedTask(fRetryTask);
    scheduler.unscheduleDelayedTask(fFailureTask);
    scheduler.unscheduleDelayedTask(fTimeoutTask);
    if (fStreamSocket != nullptr) fStreamSocket->detachClient(this);
    detachTunnel();
    // Streams first: they drop their destinations on this socket cleanly.
    if (fSocket >= 0) fServer.endTCPStreams(fSocket);
    delete fStreamSocket;
    if (fSocket >= 0) {
        // At server teardown the connection is reset rather than closed, so that
        // no TIME_WAIT holds the port and a rebuilt server can bind it again.
        if (fServer.fDestroying) {
            linger abort{1, 0};
            setsockopt(fSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(fSocket);
    }
    fServer.connectionDeleted(this);
}

// ---- closing and re-entrance ----

void RTSPClientConnection::requestClose() { fCloseRequested = true; }

bool RTSPClientConnection::leave() {
    if (--fDepth > 0) return true;
    if (fCloseRequested) {
        delete this;
        return false;
    }
    if (fRetryTask == nullptr) resumeReading();
    RTSPClientConnection* post = fTunnelInput;
    if (post != nullptr && post != this && !post->busy()) post->resumeReading();
    return true;
}

// While a request is in progress (a handler may run a nested event loop),
// nothing more is read, so the buffered bytes stay as they are.
void RTSPClientConnection::pauseReading() {
    if (fReadPaused || fStreamSocket == nullptr) return;
    fReadPaused = true;
    fStreamSocket->setReadHandler(nullptr, nullptr);
}

void RTSPClientConnection::resumeReading() {
    if (!fReadPaused) return;
    fReadPaused = false;
    fStreamSocket->setReadHandler(readHandler, this);
}

// ---- reading ----

void RTSPClientConnection::readHandler(void* clientData, int /*mask*/) {
    auto* connection = static_cast<RTSPClientConnection*>(clientData);
    RTSPClientConnection* output = connection->fTunnelOutput;
    if (connection->busy() || connection->fRetryTask != nullptr ||
        (output != nullptr && (output->busy() || output->fRetryTask != nullptr))) {
        connection->pauseReading();
        return;
    }
    connection->readSocket();
}

void RTSPClientConnection::readSocket() {
    enter();
    if (fTunnelOutput != nullptr) {
        readTunnelPost();
    } else {
        readFromSocket();
    }
    leave();
}

void RTSPClientConnection::readFromSocket() {
    size_t room = kInputCapacity - fInputLength;
    if (room == 0) {
        requestClose();
        return;
    }
    size_t wanted = std::max(kReadChunk, fInputLength + kReadChunk);
    if (fInput.size() < wanted) fInput.resize(std::min(wanted, kInputCapacity));
    ssize_t got = recv(fSocket, fInput.data() + fInputLength, fInput.size() - fInputLength, 0);
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            requestClose();
        }
        return;
    }
    // A tunnel's GET connection whose requests come over a separate POST
    // connection takes nothing more from its own socket.
    if (fTunnelInput != nullptr && fTunnelInput != this) return;
    fInputLength += static_cast<size_t>(got);
    processInput();
}

void RTSPClientConnection::readTunnelPost() {
    char chars[kReadChunk];
    ssize_t got = recv(fSocket, chars, sizeof chars, 0);
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            requestClose();
        }
        return;
    }
    feedTunnelBytes(chars, static_cast<size_t>(got));
}

void RTSPClientConnection::feedTunnelBytes(const char* chars, size_t size) {
    if (!fDecoder.feed(chars, size, decodedSink, this)) requestClose();
}

void RTSPClientConnection::decodedSink(void* clientData, const uint8_t* data, size_t size) {
    // The output connection may have closed during an earlier piece.
    RTSPClientConnection* output = static_cast<RTSPClientConnection*>(clientData)->fTunnelOutput;
    if (output != nullptr) output->handleIncomingBytes(data, size);
}

void RTSPClientConnection::handleIncomingBytes(const uint8_t* data, size_t size) {
    enter();
    while (size > 0 && !fCloseRequested) {
        size_t room = kInputCapacity - fInputLength;
        size_t taken = std::min(room, size);
        if (taken == 0) {
            // Full while a deferred request waits: more than any request holds.
            fResponse = rtspBadRequestResponse("");
            sendResponse();
            requestClose();
            break;
        }
        if (fInput.size() < fInputLength + taken) {
            fInput.resize(std::min(std::max(fInputLength + taken, kReadChunk), kInputCapacity));
        }
        memcpy(fInput.data() + fInputLength, data, taken);
        fInputLength += taken;
        data += taken;
        size -= taken;
        processInput();
    }
    leave();
}

// ---- framing ----

void RTSPClientConnection::processInput() {
    if (fRetryTask != nullptr) return;  // a deferred request comes first
    uint64_t unitsBefore = fUnitsProcessed;
    size_t offset = 0;
    while (offset < fInputLength && !fCloseRequested) {
        if (processOne(offset) != Step::Consumed) break;
    }
    if (offset > 0) {
        memmove(fInput.data(), fInput.data() + offset, fInputLength - offset);
        fInputLength -= offset;
    }
    // Full, yet no complete request: it can never become one.
    if (!fCloseRequested && fInputLength >= kInputCapacity) {
        fResponse = rtspBadRequestResponse("");
        sendResponse();
        requestClose();
    }
    if (!fCloseRequested) noteInputState(fUnitsProcessed != unitsBefore);
}

RTSPClientConnection::Step RTSPClientConnection::processOne(size_t& offset) {
    // Line ends between requests and frames carry nothing.
    while (offset < fInputLength && (fInput[offset] == '\r' || fInput[offset] == '\n')) ++offset;
    if (offset == fInputLength) return Step::NeedMore;
    const char* data = reinterpret_cast<const char*>(fInput.data()) + offset;
    size_t available = fInputLength - offset;
    if (data[0] == '$') return processInterleavedFrame(offset);
    if (looksLikeTunnelPost(data, available)) return processTunnelPost(offset);
    return processRequest(offset);
}

RTSPClientConnection::Step RTSPClientConnection::processInterleavedFrame(size_t& offset) {
    const uint8_t* frame = fInput.data() + offset;
    size_t available = fInputLength - offset;
    if (available < 4) return Step::NeedMore;
    size_t length = static_cast<size_t>(frame[2]) << 8 | frame[3];
    if (available < 4 + length) return Step::NeedMore;  // always fits the buffer
    offset += 4 + length;
    ++fUnitsProcessed;
    fStreamSocket->deliverInterleavedFrame(frame[1], frame + 4, length);
    return Step::Consumed;
}

RTSPClientConnection::Step RTSPClientConnection::processRequest(size_t& offset) {
    const char* data = reinterpret_cast<const char*>(fInput.data()) + offset;
    size_t available = fInputLength - offset;
    int length = rtspRequestLength(data, available);
    if (length == 0) return Step::NeedMore;
    if (length < 0) {
        fResponse = rtspBadRequestResponse("");
        sendResponse();
        requestClose();
        return Step::Stop;
    }
    fRequestCopy.assign(data, static_cast<size_t>(length));
    RTSPRequest request;
    if (!parseRTSPRequest(fRequestCopy.data(), fRequestCopy.size(), request)) {
        // Framed, so the connection can go on with the next request.
        offset += static_cast<size_t>(length);
        ++fUnitsProcessed;
        fResponse = rtspBadRequestResponse("");
        sendResponse();
        return fCloseRequested ? Step::Stop : Step::Consumed;
    }
    handleRequest(request);
    if (fDeferRequest) {
        // Left in the buffer, with what follows it, until the retry.
        fDeferRequest = false;
        pauseReading();
        if (fRetryTask == nullptr) {
            fRetryTask = fServer.envir().taskScheduler().scheduleDelayedTask(kRetryDelay,
                                                                             retryDeferred, this);
        }
        return Step::Stop;
    }
    offset += static_cast<size_t>(length);
    ++fUnitsProcessed;
    return fCloseRequested ? Step::Stop : Step::Consumed;
}

void RTSPClientConnection::retryDeferred(void* clientData) {
    auto* connection = static_cast<RTSPClientConnection*>(clientData);
    connection->fRetryTask = nullptr;
    connection->enter();
    connection->processInput();
    connection->leave();
}

bool RTSPClientConnection::mustWaitFor(ServerMediaSession* session) const {
    return session != nullptr && fServer.isBeingDescribed(session);
}

void RTSPClientConnection::streamSocketGone(TCPStreamSocket* socket) {
    socket->detachClient(this);
    if (fFailureTask == nullptr && !fCloseRequested) {
        fFailureTask =
            fServer.envir().taskScheduler().scheduleDelayedTask(0, closeAfterFailure, this);
    }
}

void RTSPClientConnection::closeAfterFailure(void* clientData) {
    auto* connection = static_cast<RTSPClientConnection*>(clientData);
    connection->fFailureTask = nullptr;
    connection->enter();
    connection->requestClose();
    connection->leave();
}

// ---- time-outs ----

void RTSPClientConnection::noteActivity() {
    fLastActivityUs = BasicTaskScheduler::nowMicroseconds();
    // What a tunnel's POST carries is its client's activity too.
    RTSPClientConnection* post = fTunnelInput;
    if (post != nullptr && post != this) post->fLastActivityUs = fLastActivityUs;
    armTimeout();
}

// After buffered input was processed: the time-out of an incomplete request
// runs from the last request or frame completed while bytes stay buffered.
void RTSPClientConnection::noteInputState(bool progressed) {
    if (progressed) noteActivity();
    if (fInputLength == 0) {
        fIncompleteSinceUs = 0;
        return;
    }
    if (progressed || fIncompleteSinceUs == 0) {
        fIncompleteSinceUs = BasicTaskScheduler::nowMicroseconds();
        armTimeout();
    }
}

int64_t RTSPClientConnection::nextDeadline() const {
    int64_t deadline = kNoDeadline;
    unsigned silenceSeconds = fServer.reclamationSeconds();
    if (silenceSeconds != 0) deadline = fLastActivityUs + int64_t{silenceSeconds} * 1000000;
    unsigned incompleteMs = fServer.incompleteRequestTimeoutMs();
    if (incompleteMs != 0 && fIncompleteSinceUs != 0) {
        deadline = std::min(deadline, fIncompleteSinceUs + int64_t{incompleteMs} * 1000);
    }
    return deadline;
}

// One task per connection, due at the nearest deadline. A deadline that
// moves later leaves the task alone: it looks again when it runs.
void RTSPClientConnection::armTimeout(int64_t minimumDelay) {
    TaskScheduler& scheduler = fServer.envir().taskScheduler();
    int64_t now = BasicTaskScheduler::nowMicroseconds();
    int64_t due = std::max(nextDeadline(), now + minimumDelay);
    if (due == kNoDeadline) {
        scheduler.unscheduleDelayedTask(fTimeoutTask);
        return;
    }
    if (fTimeoutTask != nullptr && fTimeoutDueUs <= due) return;
    fTimeoutDueUs = due;
    scheduler.rescheduleDelayedTask(fTimeoutTask, due - now, timeoutCheck, this);
}

void RTSPClientConnection::timeoutCheck(void* clientData) {
    auto* connection = static_cast<RTSPClientConnection*>(clientData);
    connection->fTimeoutTask = nullptr;
    if (connection->busy() || connection->fRetryTask != nullptr) {
        connection->armTimeout(kTimeoutRecheckDelay);
        return;
    }
    if (connection->nextDeadline() > BasicTaskScheduler::nowMicroseconds()) {
        connection->armTimeout();
        return;
    }
    connection->enter();
    connection->requestClose();
    connection->leave();
}

RTSPClientConnection::Step RTSPClientConnection::processTunnelPost(size_t& offset) {
    // Its Content-Length announces the Base64 stream, not a body to wait for.
    const char* data = reinterpret_cast<const char*>(fInput.data()) + offset;
    int length = rtspHeadLength(data, fInputLength - offset);
    if (length == 0) return Step::NeedMore;
    RTSPRequest request;
    if (length > 0) fRequestCopy.assign(data, static_cast<size_t>(length));
    if (length < 0 || !parseRTSPRequestHead(fRequestCopy.data(), fRequestCopy.size(), request)) {
        fResponse = httpBadRequestResponse();
        sendResponse();
        requestClose();
        return Step::Stop;
    }
    offset += static_cast<size_t>(length);
    ++fUnitsProcessed;
    handleTunnelPost(request, offset);
    return Step::Stop;
}

// ---- dispatch ----

void RTSPClientConnection::handleRequest(RTSPRequest const& request) {
    fCurrentCSeq.assign(request.cseq.data(), request.cseq.size());
    fResponse.clear();
    if (request.isHTTP()) {
        handleHTTPRequest(request);
    } else {
        handleRTSPRequest(request);
    }
}

RTSPClientSession* RTSPClientConnection::lookupSession(std::string_view sessionId) const {
    uint32_t id = 0;
    return parseSessionId(sessionId, id) ? fServer.lookupClientSession(id) : nullptr;
}

void RTSPClientConnection::handleRTSPRequest(RTSPRequest const& request) {
    std::string_view method = request.method;
    RTSPClientSession* named = request.sessionId.empty() ? nullptr : lookupSession(request.sessionId);
    if (named != nullptr) {
        if (method == "SETUP" || isSessionMethod(method)) {
            if (!mayUseSession(*named, request)) {
                sendResponse();
                return;
            }
            named->noteLiveness();
        } else if (named->ownerConnectionId() == fConnectionId) {
            named->noteLiveness();  // any request of its own client keeps it alive
        }
    }
    bool startAfterResponse = false;
    bool isSetup = false;
    uint32_t sessionId = 0;
    if (method == "OPTIONS") {
        fResponse = rtspOptionsResponse(fCurrentCSeq);
    } else if (method == "DESCRIBE") {
        handleCmd_DESCRIBE(request);
    } else if (method == "SETUP") {
        isSetup = true;
        handleCmd_SETUP(request, startAfterResponse, sessionId);
    } else if (isSessionMethod(method)) {
        handleCmd_withinSession(request, startAfterResponse, sessionId);
    } else {
        // REGISTER, RTCP and anything else we do not implement.
        fResponse = rtspMethodNotAllowedResponse(fCurrentCSeq);
    }
    sendResponse();
    if (startAfterResponse && !fCloseRequested) runStartStep(request, sessionId, isSetup);
}

void RTSPClientConnection::sendResponse() {
    if (fResponse.empty()) return;
    if (!fStreamSocket->send(fResponse.data(), fResponse.size())) requestClose();
    fResponse.clear();
}

// After the response has gone out: a play-now SETUP plays, then the session's
// streams start (a PLAY's only step).
void RTSPClientConnection::runStartStep(RTSPRequest const& request, uint32_t sessionId,
                                        bool afterSetup) {
    std::string urlPreSuffix(request.urlPreSuffix), urlSuffix(request.urlSuffix);
    RTSPClientSession* session = fServer.lookupClientSession(sessionId);
    if (afterSetup && session != nullptr) {
        session->handleCmd_withinSession(this, "PLAY", urlPreSuffix, urlSuffix, request);
        fResponse.clear();  // the client has had its answer
        session = fServer.lookupClientSession(sessionId);
    }
    if (session == nullptr) return;
    session->handleCmd_withinSession(this, "RTCP", urlPreSuffix, urlSuffix, request);
    fResponse.clear();
}

// ---- methods ----

bool RTSPClientConnection::authorizationOK(RTSPRequest const& request,
                                           std::string const& urlSuffix) {
    if (!fServer.specialClientAccessCheck(fSocket, fClientAddr, urlSuffix.c_str())) {
        fResponse = plainUnauthorizedResponse(fCurrentCSeq);
        return false;
    }
    std::string method(request.method);
    UserAuthenticationDatabase* db = fServer.getAuthenticationDatabaseForCommand(method.c_str());
    AccessCheckOutcome outcome = checkClientAccess(db, fAuthenticator, request.method, request.url,
                                                   request.text, request.cseq);
    switch (outcome.result) {
    case AccessResult::Allow: return true;
    case AccessResult::Deny: fResponse = std::move(outcome.response); return false;
    case AccessResult::AllowIfUserPasses: break;
    }
    if (fServer.specialClientUserAccessCheck(fSocket, fClientAddr, urlSuffix.c_str(),
                                             outcome.userName.c_str())) {
        return true;
    }
    fResponse = plainUnauthorizedResponse(fCurrentCSeq);
    return false;
}

bool RTSPClientConnection::mayUseSession(RTSPClientSession const& session,
                                         RTSPRequest const& request) {
    if (session.ownerConnectionId() == fConnectionId) return true;
    std::string method(request.method);
    if (fServer.getAuthenticationDatabaseForCommand(method.c_str()) == nullptr) return true;
    std::string path =
        joinPath(std::string(request.urlPreSuffix), std::string(request.urlSuffix));
    return authorizationOK(request, path);
}

void RTSPClientConnection::handleCmd_DESCRIBE(RTSPRequest const& request) {
    std::string path =
        joinPath(std::string(request.urlPreSuffix), std::string(request.urlSuffix));
    if (!authorizationOK(request, path)) return;
    ServerMediaSession* session = fServer.lookupServerMediaSession(path.c_str(), true);
    if (session == nullptr) {
        fResponse = rtspStatusResponse("404 Stream Not Found", fCurrentCSeq);
        return;
    }
    if (mustWaitFor(session)) {
        fDeferRequest = true;  // answered once the description in progress is done
        return;
    }
    // Describing may run the event loop (a track probing its source): the
    // session must not go away meanwhile, nor be described a second time.
    fServer.beginDescribe(session);
    std::string sdp = session->generateSDPDescription(serverAddressForSocket(fSocket));
    std::string contentBase = fServer.rtspURL(session, fSocket) + "/";
    fResponse = rtspDescribeResponse(fCurrentCSeq, contentBase, sdp);
    fServer.endDescribe(session);
}

void RTSPClientConnection::handleCmd_SETUP(RTSPRequest const& request, bool& startAfterResponse,
                                           uint32_t& sessionId) {
    std::string urlPreSuffix(request.urlPreSuffix), urlSuffix(request.urlSuffix);
    RTSPClientSession* session = nullptr;
    bool created = false;
    if (!request.sessionId.empty()) {
        session = lookupSession(request.sessionId);
        if (session == nullptr) {
            fResponse = rtspStatusResponse("454 Session Not Found", fCurrentCSeq);
            return;
        }
    }
    // A stream is not set up while its session is being described.
    std::string path = joinPath(urlPreSuffix, urlSuffix);
    if (mustWaitFor(session != nullptr ? session->serverMediaSession() : nullptr) ||
        mustWaitFor(fServer.findRegisteredSession(urlPreSuffix.c_str())) ||
        mustWaitFor(fServer.findRegisteredSession(path.c_str()))) {
        fDeferRequest = true;
        return;
    }
    if (session == nullptr) {
        if (!authorizationOK(request, urlSuffix)) return;
        session = fServer.createClientSession(fConnectionId);
        if (session == nullptr) {
            fResponse = rtspStatusResponse("500 Internal Server Error", fCurrentCSeq);
            return;
        }
        created = true;
    }
    sessionId = session->sessionId();
    session->handleCmd_SETUP(this, urlPreSuffix, urlSuffix, request);
    if (created && session->numStreamsSetUp() == 0) {
        delete session;  // a failed first SETUP leaves no session behind
        return;
    }
    startAfterResponse = (request.hasRange || request.hasPlayNow) &&
                         fResponse.compare(0, 15, "RTSP/1.0 200 OK") == 0;
}

void RTSPClientConnection::handleCmd_withinSession(RTSPRequest const& request,
                                                   bool& startAfterResponse,
                                                   uint32_t& sessionId) {
    std::string method(request.method);
    if (request.sessionId.empty() && (method == "GET_PARAMETER" || method == "SET_PARAMETER")) {
        // A keep-alive of the connection itself.
        fResponse = rtspStatusResponse("200 OK", fCurrentCSeq);
        return;
    }
    RTSPClientSession* session = lookupSession(request.sessionId);
    if (session == nullptr) {
        fResponse = rtspStatusResponse("454 Session Not Found", fCurrentCSeq);
        return;
    }
    sessionId = session->sessionId();
    startAfterResponse = method == "PLAY";
    // May delete the session (TEARDOWN).
    session->handleCmd_withinSession(this, method.c_str(), std::string(request.urlPreSuffix),
                                     std::string(request.urlSuffix), request);
}

// ---- HTTP tunnelling ----

void RTSPClientConnection::handleHTTPRequest(RTSPRequest const& request) {
    std::string cookie(request.header("x-sessioncookie"));
    bool acceptable = request.method == "GET" && !cookie.empty() &&
                      cookie.size() <= kMaxCookieLength && fTunnelCookie.empty() &&
                      fTunnelOutput == nullptr;
    if (acceptable && fServer.registerTunnel(cookie, this)) {
        fTunnelCookie = cookie;
        fResponse = httpTunnelGetResponse();
        sendResponse();
        return;
    }
    // Not a tunnel we can open (no or colliding cookie, or plain HTTP).
    fResponse = httpBadRequestResponse();
    sendResponse();
    requestClose();
}

void RTSPClientConnection::handleTunnelPost(RTSPRequest const& request, size_t& offset) {
    std::string cookie(request.header("x-sessioncookie"));
    RTSPClientConnection* output = cookie.empty() ? nullptr : fServer.lookupTunnel(cookie);
    if (output == nullptr || output->fTunnelInput != nullptr || fTunnelOutput != nullptr) {
        fResponse = httpBadRequestResponse();
        sendResponse();
        requestClose();
        return;
    }
    fTunnelOutput = output;
    output->fTunnelInput = this;
    fDecoder.reset();
    // What follows the head is already the Base64 stream.
    std::string rest(reinterpret_cast<const char*>(fInput.data()) + offset, fInputLength - offset);
    fInputLength = 0;
    offset = 0;
    if (!rest.empty()) feedTunnelBytes(rest.data(), rest.size());
}

void RTSPClientConnection::detachTunnel() {
    if (!fTunnelCookie.empty()) {
        fServer.unregisterTunnel(fTunnelCookie, this);
        fTunnelCookie.clear();
    }
    RTSPClientConnection* post = fTunnelInput;
    RTSPClientConnection* output = fTunnelOutput;
    fTunnelInput = nullptr;
    fTunnelOutput = nullptr;
    if (output != nullptr && output != this) output->fTunnelInput = nullptr;
    if (post != nullptr && post != this) {
        // The tunnel's requests have nowhere to go any more.
        post->fTunnelOutput = nullptr;
        if (post->busy()) {
            post->requestClose();
        } else {
            delete post;
        }
    }
}
