#include "rtsp/RTSPClientSession.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "rtsp/RTSPClientConnection.h"
#include "rtsp/RTSPDate.h"
#include "rtsp/RTSPRequest.h"
#include "rtsp/RTSPResponses.h"
#include "rtsp/RTSPServer.h"
#include "rtsp/ServerMediaSession.h"
#include "rtsp/SocketUtil.h"
#include "rtsp/TransportHeader.h"

namespace {

std::string addressText(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::string joinPath(std::string const& urlPreSuffix, std::string const& urlSuffix) {
    return urlPreSuffix.empty() ? urlSuffix : urlPreSuffix + "/" + urlSuffix;
}

// Start of the "npt=" range of a Range header (0 when absent or unreadable).
double rangeStart(std::string_view range) {
    size_t pos = range.find("npt=");
    if (pos == std::string_view::npos) return 0.0;
    std::string value(range.substr(pos + 4, 32));
    char* end = nullptr;
    double start = strtod(value.c_str(), &end);
    return end == value.c_str() || !(start >= 0.0) ? 0.0 : start;
}

}  // namespace

RTSPClientSession* RTSPClientSession::createNew(RTSPServer& server, uint32_t sessionId,
                                                uint64_t ownerConnectionId) {
    return new (std::nothrow) RTSPClientSession(server, sessionId, ownerConnectionId);
}

RTSPClientSession::RTSPClientSession(RTSPServer& server, uint32_t sessionId,
                                     uint64_t ownerConnectionId)
    : fServer(server), fSessionId(sessionId), fOwnerConnectionId(ownerConnectionId) {
    noteLiveness();
}

RTSPClientSession::~RTSPClientSession() {
    fServer.envir().taskScheduler().unscheduleDelayedTask(fLivenessTask);
    // Unlisted first, so that nothing below finds a half-ended session.
    fServer.clientSessionDeleted(fSessionId);
    for (StreamState& stream : fStreams) {
        if (stream.setUp) endStream(stream);
    }
    if (fServerMediaSession != nullptr) {
        fServerMediaSession->decrementReferenceCount();
        fServer.sessionUnreferenced(fServerMediaSession);
    }
}

void RTSPClientSession::noteLiveness() {
    fServer.noteConnectionActivity(fOwnerConnectionId);
    TaskScheduler& scheduler = fServer.envir().taskScheduler();
    unsigned seconds = fServer.reclamationSeconds();
    if (seconds == 0) {
        scheduler.unscheduleDelayedTask(fLivenessTask);
        return;
    }
    scheduler.rescheduleDelayedTask(fLivenessTask, static_cast<int64_t>(seconds) * 1000000,
                                    livenessTimeout, this);
}

void RTSPClientSession::livenessTimeout(void* clientData) {
    auto* session = static_cast<RTSPClientSession*>(clientData);
    session->fLivenessTask = nullptr;
    delete session;
}

void RTSPClientSession::rtcpReceiverReport(void* clientData) {
    static_cast<RTSPClientSession*>(clientData)->noteLiveness();
}

unsigned RTSPClientSession::numStreamsSetUp() const {
    unsigned count = 0;
    for (StreamState const& stream : fStreams) count += stream.setUp ? 1 : 0;
    return count;
}

bool RTSPClientSession::isTrackStreaming(unsigned trackNum) const {
    return trackNum >= 1 && trackNum <= fStreams.size() && fStreams[trackNum - 1].setUp &&
           fStreams[trackNum - 1].streaming;
}

RTSPClientSession::StreamState* RTSPClientSession::streamOf(unsigned trackNum) {
    return trackNum >= 1 && trackNum <= fStreams.size() ? &fStreams[trackNum - 1] : nullptr;
}

bool RTSPClientSession::bindServerMediaSession(ServerMediaSession* session) {
    if (fServerMediaSession != nullptr) return fServerMediaSession == session;
    fServerMediaSession = session;
    session->incrementReferenceCount();
    fStreams.assign(session->numSubsessions(), StreamState());
    return true;
}

void RTSPClientSession::endStream(StreamState& stream) {
    ServerMediaSubsession* subsession = stream.subsession;
    if (stream.tcpSocketNum >= 0) {
        fServer.unregisterTCPStream(stream.tcpSocketNum, fSessionId, subsession->trackNumber());
    }
    void* token = stream.streamToken;
    stream = StreamState();
    subsession->deleteStream(fSessionId, token);
}

bool RTSPClientSession::endStreamOnClosedSocket(unsigned trackNum, int socketNum) {
    StreamState* stream = streamOf(trackNum);
    if (stream != nullptr && stream->setUp && stream->tcpSocketNum == socketNum) endStream(*stream);
    if (numStreamsSetUp() != 0) return true;
    delete this;
    return false;
}

void RTSPClientSession::dropStreamsOnSocket(int socketNum) {
    for (StreamState& stream : fStreams) {
        if (stream.setUp && stream.tcpSocketNum == socketNum) endStream(stream);
    }
}

// ---- SETUP ----

void RTSPClientSession::handleCmd_SETUP(RTSPClientConnection* connection,
                                        std::string const& urlPreSuffix,
                                        std::string const& urlSuffix, RTSPRequest const& request) {
    noteLiveness();
    std::string const& cseq = connection->currentCSeq();
    std::string& response = connection->response();
    std::string path = joinPath(urlPreSuffix, urlSuffix);

    // Find the session and the track the URL names: "<stream>/<trackId>", or
    // the stream alone when it has a single track.
    ServerMediaSession* session = fServerMediaSession;
    ServerMediaSubsession* subsession = nullptr;
    bool wholeSession = false;
    if (session != nullptr) {
        if (namesOurSession(urlPreSuffix)) {
            subsession = session->lookupByTrackId(urlSuffix.c_str());
        } else {
            wholeSession = namesOurSession(path);
        }
    } else {
        if (!urlPreSuffix.empty()) {
            session = fServer.lookupServerMediaSession(urlPreSuffix.c_str(), true);
            if (session != nullptr) subsession = session->lookupByTrackId(urlSuffix.c_str());
            if (subsession != nullptr) fRequestedName = urlPreSuffix;
        }
        if (subsession == nullptr) {
            session = fServer.lookupServerMediaSession(path.c_str(), true);
            wholeSession = session != nullptr;
            fRequestedName = path;
        }
    }
    if (wholeSession) {
        if (session->numSubsessions() > 1) {
            response = rtspStatusResponse("459 Aggregate Operation Not Allowed", cseq);
            return;
        }
        subsession = session->subsession(0);
    }
    if (subsession == nullptr) {
        response = rtspStatusResponse("404 Stream Not Found", cseq);
        return;
    }

    TransportSpec transport;
    if (!parseTransportHeader(request.header("Transport"), transport) ||
        transport.streamingMode == StreamingMode::RAW_UDP || transport.isMulticast ||
        (transport.streamingMode == StreamingMode::RTP_UDP &&
         (!transport.hasClientPorts || transport.clientRTPPort == 0))) {
        response = rtspStatusResponse("461 Unsupported Transport", cseq);
        return;
    }

    bool overTCP = transport.streamingMode == StreamingMode::RTP_TCP;
    unsigned trackIndex = subsession->trackNumber() - 1;
    uint8_t rtpChannel = transport.rtpChannelId;
    uint8_t rtcpChannel = transport.rtcpChannelId;
    if (overTCP && !transport.hasInterleaved) {
        rtpChannel = static_cast<uint8_t>(2 * trackIndex);
        rtcpChannel = static_cast<uint8_t>(2 * trackIndex + 1);
    }
    int tcpSocketNum = overTCP ? connection->socketNum() : -1;

    bindServerMediaSession(session);
    StreamState& stream = fStreams[trackIndex];
    if (stream.setUp) endStream(stream);  // a repeated SETUP replaces the stream

    uint32_t clientAddress = connection->clientAddr().sin_addr.s_addr;
    uint16_t serverRTPPort = 0, serverRTCPPort = 0;
    void* token = nullptr;
    subsession->getStreamParameters(fSessionId, clientAddress, transport.clientRTPPort,
                                    transport.clientRTCPPort, tcpSocketNum, rtpChannel,
                                    rtcpChannel, serverRTPPort, serverRTCPPort, token);
    if (token == nullptr) {
        response = rtspStatusResponse("500 Internal Server Error", cseq);
        return;
    }
    stream.subsession = subsession;
    stream.streamToken = token;
    stream.setUp = true;
    stream.tcpSocketNum = tcpSocketNum;
    stream.rtpChannelId = rtpChannel;
    stream.rtcpChannelId = rtcpChannel;

    std::string destination = addressText(clientAddress);
    std::string source = addressText(serverAddressForSocket(connection->socketNum()));
    char transportLine[256];
    if (overTCP) {
        snprintf(transportLine, sizeof transportLine,
                 "Transport: RTP/AVP/TCP;unicast;destination=%s;source=%s;interleaved=%d-%d\r\n",
                 destination.c_str(), source.c_str(), rtpChannel, rtcpChannel);
    } else {
        snprintf(transportLine, sizeof transportLine,
                 "Transport: RTP/AVP;unicast;destination=%s;source=%s;client_port=%d-%d;"
                 "server_port=%d-%d\r\n",
                 destination.c_str(), source.c_str(), transport.clientRTPPort,
                 transport.clientRTCPPort, serverRTPPort, serverRTCPPort);
    }
    char sessionLine[64];
    unsigned timeout = fServer.reclamationSeconds();
    if (timeout != 0) {
        snprintf(sessionLine, sizeof sessionLine, "Session: %08X;timeout=%u\r\n", fSessionId,
                 timeout);
    } else {
        snprintf(sessionLine, sizeof sessionLine, "Session: %08X\r\n", fSessionId);
    }
    response = "RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n" + rtspDateHeader() + transportLine +
               sessionLine + "\r\n";
}

// ---- requests within the session ----

// The session's own name, or the name the client set it up with (a request
// may select a stream by a part of its name).
bool RTSPClientSession::namesOurSession(std::string const& name) const {
    return fServerMediaSession != nullptr &&
           (name == fServerMediaSession->streamName() || (!fRequestedName.empty() && name == fRequestedName));
}

bool RTSPClientSession::resolveTrack(std::string const& urlPreSuffix, std::string const& urlSuffix,
                                     ServerMediaSubsession*& subsession) const {
    subsession = nullptr;
    if (urlSuffix == "*" || namesOurSession(joinPath(urlPreSuffix, urlSuffix))) return true;
    if (namesOurSession(urlPreSuffix)) {
        subsession = fServerMediaSession->lookupByTrackId(urlSuffix.c_str());
        return subsession != nullptr;
    }
    return false;
}

void RTSPClientSession::handleCmd_withinSession(RTSPClientConnection* connection,
                                                char const* cmdName,
                                                std::string const& urlPreSuffix,
                                                std::string const& urlSuffix,
                                                RTSPRequest const& request) {
    noteLiveness();
    std::string const& cseq = connection->currentCSeq();
    if (fServerMediaSession == nullptr) {
        connection->response() = rtspStatusResponse("455 Method Not Valid in This State", cseq);
        return;
    }
    ServerMediaSubsession* subsession = nullptr;
    if (!resolveTrack(urlPreSuffix, urlSuffix, subsession)) {
        connection->response() = rtspStatusResponse("404 Stream Not Found", cseq);
        return;
    }
    // Each handler is the last thing done here: TEARDOWN may delete the session.
    if (strcmp(cmdName, "TEARDOWN") == 0) {
        handleCmd_TEARDOWN(connection, subsession, request);
    } else if (strcmp(cmdName, "PLAY") == 0) {
        handleCmd_PLAY(connection, subsession, request);
    } else if (strcmp(cmdName, "RTCP") == 0) {
        handleCmd_RTCP(connection, subsession, request);
    } else if (strcmp(cmdName, "PAUSE") == 0) {
        handleCmd_PAUSE(connection, subsession, request);
    } else if (strcmp(cmdName, "GET_PARAMETER") == 0) {
        handleCmd_GET_PARAMETER(connection, subsession, request);
    } else if (strcmp(cmdName, "SET_PARAMETER") == 0) {
        handleCmd_SET_PARAMETER(connection, subsession, request);
    } else {
        connection->response() = rtspMethodNotAllowedResponse(cseq);
    }
}

void RTSPClientSession::handleCmd_TEARDOWN(RTSPClientConnection* connection,
                                           ServerMediaSubsession* subsession,
                                           RTSPRequest const& /*request*/) {
    connection->response() = rtspSessionResponse("200 OK", connection->currentCSeq(), fSessionId);
    for (StreamState& stream : fStreams) {
        if (stream.setUp && addresses(subsession, stream)) endStream(stream);
    }
    if (numStreamsSetUp() == 0) delete this;
}

void RTSPClientSession::handleCmd_PLAY(RTSPClientConnection* connection,
                                       ServerMediaSubsession* subsession,
                                       RTSPRequest const& request) {
    std::string const& cseq = connection->currentCSeq();
    if (numStreamsSetUp() == 0) {
        connection->response() = rtspStatusResponse("455 Method Not Valid in This State", cseq);
        return;
    }
    // A live stream plays at normal speed only; a Scale request is answered
    // with the scale in effect.
    std::string scaleLine = request.hasHeader("Scale") ? "Scale: 1.000000\r\n" : "";

    float duration = subsession != nullptr ? subsession->duration()
                                           : fServerMediaSession->duration();
    char rangeLine[96];
    if (duration <= 0.0f) {
        snprintf(rangeLine, sizeof rangeLine, "Range: npt=0.000-\r\n");
    } else {
        double start = request.hasRange ? rangeStart(request.header("Range")) : 0.0;
        if (start > duration) start = duration;
        for (StreamState& stream : fStreams) {
            if (stream.setUp && addresses(subsession, stream)) {
                stream.subsession->seekStream(fSessionId, stream.streamToken, start);
            }
        }
        snprintf(rangeLine, sizeof rangeLine, "Range: npt=%.3f-%.3f\r\n", start, duration);
    }
    char sessionLine[32];
    snprintf(sessionLine, sizeof sessionLine, "Session: %08X\r\n", fSessionId);
    connection->response() = "RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n" + rtspDateHeader() +
                             scaleLine + rangeLine + sessionLine + "\r\n";
}

void RTSPClientSession::handleCmd_RTCP(RTSPClientConnection* connection,
                                       ServerMediaSubsession* subsession,
                                       RTSPRequest const& /*request*/) {
    int socketNum = connection->socketNum();
    for (StreamState& stream : fStreams) {
        if (stream.setUp && stream.tcpSocketNum == socketNum) {
            fServer.registerTCPStream(socketNum, fSessionId, stream.subsession->trackNumber());
        }
    }
    for (StreamState& stream : fStreams) {
        if (!stream.setUp || !addresses(subsession, stream)) continue;
        uint16_t rtpSeqNum = 0;
        uint32_t rtpTimestamp = 0;
        stream.subsession->startStream(fSessionId, stream.streamToken, rtcpReceiverReport, this,
                                       rtpSeqNum, rtpTimestamp);
        stream.streaming = true;
    }
}

void RTSPClientSession::handleCmd_PAUSE(RTSPClientConnection* connection,
                                        ServerMediaSubsession* subsession,
                                        RTSPRequest const& /*request*/) {
    for (StreamState& stream : fStreams) {
        if (!stream.setUp || !addresses(subsession, stream)) continue;
        stream.subsession->pauseStream(fSessionId, stream.streamToken);
        stream.streaming = false;
    }
    connection->response() = rtspSessionResponse("200 OK", connection->currentCSeq(), fSessionId);
}

void RTSPClientSession::handleCmd_GET_PARAMETER(RTSPClientConnection* connection,
                                                ServerMediaSubsession* /*subsession*/,
                                                RTSPRequest const& /*request*/) {
    // A keep-alive: the liveness timer has been restarted already.
    connection->response() = rtspSessionResponse("200 OK", connection->currentCSeq(), fSessionId);
}

void RTSPClientSession::handleCmd_SET_PARAMETER(RTSPClientConnection* connection,
                                                ServerMediaSubsession* /*subsession*/,
                                                RTSPRequest const& /*request*/) {
    connection->response() = rtspSessionResponse("200 OK", connection->currentCSeq(), fSessionId);
}
