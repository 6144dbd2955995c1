#include "rtsp/OnDemandServerMediaSubsession.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>

#include "rtp/FramedSource.h"
#include "rtp/Groupsock.h"
#include "rtp/RTCPInstance.h"
#include "rtp/RTPSink.h"
#include "rtp/SocketBuffers.h"

namespace {

std::string hostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    name[sizeof name - 1] = '\0';
    return name;
}

}  // namespace

// One stream of the track: what its clients share.
class OnDemandServerMediaSubsession::StreamState {
public:
    StreamState(OnDemandServerMediaSubsession& master, FramedSource* source, RTPSink* sink,
                Groupsock* rtpGS, Groupsock* rtcpGS, unsigned totalBandwidth)
        : fMaster(master),
          fSource(source),
          fSink(sink),
          fRTPGS(rtpGS),
          fRTCPGS(rtcpGS),
          fTotalBandwidth(totalBandwidth) {}

    // RTCP first (it refers to the sink), then sink, source, sockets.
    ~StreamState() {
        if (fSink != nullptr) fSink->stopPlaying();
        Medium::close(fRTCP);
        Medium::close(fSink);
        if (fSource != nullptr) fMaster.closeStreamSource(fSource);
        if (fRTCPGS != fRTPGS) Medium::close(fRTCPGS);
        Medium::close(fRTPGS);
    }

    uint16_t rtpPort() const { return fRTPGS->port(); }
    uint16_t rtcpPort() const { return fRTCPGS->port(); }
    RTPSink* sink() const { return fSink; }
    unsigned fReferenceCount = 1;

    void startPlaying(Destinations const& dest, unsigned clientSessionId, TaskFunc* rrHandler,
                      void* rrClientData) {
        if (fRTCP == nullptr) {
            fRTCP = RTCPInstance::createNew(fMaster.envir(), fRTCPGS, fTotalBandwidth,
                                            hostName().c_str(), fSink);
            if (fRTCP == nullptr) return;
        }
        if (dest.isTCP) {
            fSink->addStreamSocket(dest.tcpSocketNum, dest.rtpChannelId);
            fRTCP->addStreamSocket(dest.tcpSocketNum, dest.rtcpChannelId);
            fRTCP->setSpecificRRHandlerForStream(dest.tcpSocketNum, dest.rtcpChannelId, rrHandler,
                                                 rrClientData);
        } else {
            fRTPGS->addDestination(dest.address, dest.rtpPort, clientSessionId);
            if (fRTCPGS != fRTPGS) fRTCPGS->addDestination(dest.address, dest.rtcpPort, clientSessionId);
            fRTCP->setSpecificRRHandler(dest.address, rtcpPortOf(dest), rrHandler, rrClientData);
        }
        // A sender report before the first RTP packet lets receivers
        // synchronise their clocks at once.
        fRTCP->sendReport();
        if (!fPlaying) {
            fPlaying = fSink->startPlaying(*fSource, afterPlaying, this);
        }
    }

    void pause() {
        if (!fPlaying) return;
        fSink->stopPlaying();
        fPlaying = false;
    }

    // The stream ends for good: its clients learn it from an RTCP BYE while
    // they are still its destinations.
    void sayGoodbye() {
        if (fRTCP != nullptr) fRTCP->sendBYE();
    }

    void endPlaying(Destinations const& dest, unsigned clientSessionId) {
        if (dest.isTCP) {
            fSink->removeStreamSocket(dest.tcpSocketNum, dest.rtpChannelId);
            if (fRTCP != nullptr) {
                fRTCP->removeStreamSocket(dest.tcpSocketNum, dest.rtcpChannelId);
                fRTCP->unsetSpecificRRHandlerForStream(dest.tcpSocketNum, dest.rtcpChannelId);
            }
        } else {
            fRTPGS->removeDestinations(clientSessionId);
            if (fRTCPGS != fRTPGS) fRTCPGS->removeDestinations(clientSessionId);
            if (fRTCP != nullptr) fRTCP->unsetSpecificRRHandler(dest.address, rtcpPortOf(dest));
        }
    }

private:
    uint16_t rtcpPortOf(Destinations const& dest) const {
        return fRTCPGS == fRTPGS ? dest.rtpPort : dest.rtcpPort;
    }

    // The source ended: the stream sends nothing more until it is restarted.
    static void afterPlaying(void* clientData) {
        static_cast<StreamState*>(clientData)->fPlaying = false;
    }

    OnDemandServerMediaSubsession& fMaster;
    FramedSource* fSource;
    RTPSink* fSink;
    Groupsock* fRTPGS;
    Groupsock* fRTCPGS;
    unsigned fTotalBandwidth;
    RTCPInstance* fRTCP = nullptr;
    bool fPlaying = false;
};

OnDemandServerMediaSubsession::OnDemandServerMediaSubsession(UsageEnvironment& env,
                                                             bool reuseFirstSource,
                                                             uint16_t initialPortNum,
                                                             bool multiplexRTCPWithRTP)
    : ServerMediaSubsession(env),
      fReuseFirstSource(reuseFirstSource),
      fInitialPortNum(initialPortNum),
      fMultiplexRTCPWithRTP(multiplexRTCPWithRTP) {}

OnDemandServerMediaSubsession::~OnDemandServerMediaSubsession() {
    std::set<StreamState*> streams;
    for (auto& entry : fClientStreams) streams.insert(entry.second);
    for (StreamState* stream : streams) delete stream;
}

char const* OnDemandServerMediaSubsession::getAuxSDPLine(RTPSink* rtpSink,
                                                         FramedSource* /*inputSource*/) {
    return rtpSink == nullptr ? nullptr : rtpSink->auxSDPLine();
}

void OnDemandServerMediaSubsession::closeStreamSource(FramedSource* inputSource) {
    Medium::close(inputSource);
}

// ---- SDP ----

char const* OnDemandServerMediaSubsession::sdpLines() {
    if (!fSDPLines.empty()) return fSDPLines.c_str();
    // Describing may run the event loop; a second description meanwhile
    // would take a second reader of the same input.
    if (fBuildingSDPLines) return nullptr;
    fBuildingSDPLines = true;
    unsigned estBitrate = 0;
    FramedSource* source = createNewStreamSource(0, estBitrate);
    Groupsock* dummyGroupsock = source != nullptr ? Groupsock::createNew(envir(), 0) : nullptr;
    RTPSink* sink = nullptr;
    if (dummyGroupsock != nullptr) {
        auto payloadType = static_cast<unsigned char>(96 + trackNumber() - 1);
        sink = createNewRTPSink(dummyGroupsock, payloadType, source);
    }
    if (sink != nullptr) fSDPLines = buildSDPLines(sink, source, estBitrate);
    Medium::close(sink);
    if (source != nullptr) closeStreamSource(source);
    Medium::close(dummyGroupsock);
    fBuildingSDPLines = false;
    return fSDPLines.empty() ? nullptr : fSDPLines.c_str();
}

std::string OnDemandServerMediaSubsession::buildSDPLines(RTPSink* sink, FramedSource* source,
                                                         unsigned estBitrate) {
    char const* auxLine = getAuxSDPLine(sink, source);
    char head[160];
    snprintf(head, sizeof head, "m=%s %u RTP/AVP %d\r\nc=IN IP4 0.0.0.0\r\nb=AS:%u\r\n",
             sink->sdpMediaType(), 0u, sink->rtpPayloadType(), estBitrate);
    char control[48];
    snprintf(control, sizeof control, "a=control:%s\r\n", trackId());
    std::string lines = head;
    lines += sink->rtpmapLine();
    if (auxLine != nullptr) lines += auxLine;
    lines += control;
    return lines;
}

// ---- streams ----

bool OnDemandServerMediaSubsession::reservePorts(Groupsock*& rtpGroupsock,
                                                 Groupsock*& rtcpGroupsock) {
    // Even RTP port, RTCP on the next; pairs in use are skipped.
    unsigned port = fInitialPortNum & ~1u;
    for (; port + 1 <= 65535; port += 2) {
        rtpGroupsock = Groupsock::createNew(envir(), static_cast<uint16_t>(port));
        if (rtpGroupsock == nullptr) continue;
        if (fMultiplexRTCPWithRTP) {
            rtcpGroupsock = rtpGroupsock;
            return true;
        }
        rtcpGroupsock = Groupsock::createNew(envir(), static_cast<uint16_t>(port + 1));
        if (rtcpGroupsock != nullptr) return true;
        Medium::close(rtpGroupsock);
    }
    rtpGroupsock = rtcpGroupsock = nullptr;
    envir().setResultMsg("no free RTP/RTCP port pair");
    return false;
}

OnDemandServerMediaSubsession::StreamState* OnDemandServerMediaSubsession::createStreamState(
    unsigned clientSessionId) {
    unsigned estBitrate = 0;
    FramedSource* source = createNewStreamSource(clientSessionId, estBitrate);
    if (source == nullptr) return nullptr;
    Groupsock* rtpGS = nullptr;
    Groupsock* rtcpGS = nullptr;
    RTPSink* sink = nullptr;
    if (reservePorts(rtpGS, rtcpGS)) {
        auto payloadType = static_cast<unsigned char>(96 + trackNumber() - 1);
        sink = createNewRTPSink(rtpGS, payloadType, source);
    }
    StreamState* stream = nullptr;
    if (sink != nullptr) {
        // 0.1 s of the stream in the socket (12.5 bytes per kbit/s).
        unsigned bufferSize = std::max(estBitrate * 25 / 2, kMinRTPSendBufferSize);
        increaseSendBufferTo(envir(), rtpGS->socketNum(), bufferSize);
        stream = new (std::nothrow) StreamState(*this, source, sink, rtpGS, rtcpGS, estBitrate);
    }
    if (stream == nullptr) {
        Medium::close(sink);
        closeStreamSource(source);
        if (rtcpGS != rtpGS) Medium::close(rtcpGS);
        Medium::close(rtpGS);
    }
    return stream;
}

void OnDemandServerMediaSubsession::getStreamParameters(
    unsigned clientSessionId, uint32_t clientAddress, uint16_t clientRTPPort,
    uint16_t clientRTCPPort, int tcpSocketNum, uint8_t rtpChannelId, uint8_t rtcpChannelId,
    uint16_t& serverRTPPort, uint16_t& serverRTCPPort, void*& streamToken) {
    streamToken = nullptr;
    if (fClientStreams.count(clientSessionId) != 0) {
        void* previous = fClientStreams[clientSessionId];
        deleteStream(clientSessionId, previous);  // a repeated set-up replaces the stream
    }
    StreamState* stream = fReuseFirstSource ? fSharedStream : nullptr;
    if (stream != nullptr) {
        ++stream->fReferenceCount;
    } else {
        stream = createStreamState(clientSessionId);
        if (stream == nullptr) return;
        if (fReuseFirstSource) fSharedStream = stream;
    }
    Destinations dest;
    dest.isTCP = tcpSocketNum >= 0;
    dest.address = clientAddress;
    dest.rtpPort = clientRTPPort;
    dest.rtcpPort = clientRTCPPort;
    dest.tcpSocketNum = tcpSocketNum;
    dest.rtpChannelId = rtpChannelId;
    dest.rtcpChannelId = rtcpChannelId;
    fDestinations[clientSessionId] = dest;
    fClientStreams[clientSessionId] = stream;
    serverRTPPort = stream->rtpPort();
    serverRTCPPort = stream->rtcpPort();
    streamToken = stream;
}

void OnDemandServerMediaSubsession::startStream(unsigned clientSessionId, void* /*streamToken*/,
                                                TaskFunc* rtcpRRHandler,
                                                void* rtcpRRHandlerClientData,
                                                uint16_t& rtpSeqNum, uint32_t& rtpTimestamp) {
    auto stream = fClientStreams.find(clientSessionId);
    auto dest = fDestinations.find(clientSessionId);
    if (stream == fClientStreams.end() || dest == fDestinations.end()) return;
    stream->second->startPlaying(dest->second, clientSessionId, rtcpRRHandler,
                                 rtcpRRHandlerClientData);
    rtpSeqNum = stream->second->sink()->currentSeqNo();
    // The RTP timeline is not moved to the PLAY time: no RTP-Info announces it,
    // and moving it by the first frame's age (set only when that frame goes
    // out) would make the sender report sent above disagree with the packets
    // and shift each track by a different amount.
    timeval now;
    gettimeofday(&now, nullptr);
    rtpTimestamp = stream->second->sink()->convertToRTPTimestamp(now);
}

void OnDemandServerMediaSubsession::pauseStream(unsigned clientSessionId, void* /*streamToken*/) {
    if (fReuseFirstSource) return;
    auto stream = fClientStreams.find(clientSessionId);
    if (stream != fClientStreams.end()) stream->second->pause();
}

void OnDemandServerMediaSubsession::deleteStream(unsigned clientSessionId, void*& streamToken) {
    streamToken = nullptr;
    auto stream = fClientStreams.find(clientSessionId);
    if (stream == fClientStreams.end()) return;
    StreamState* state = stream->second;
    auto dest = fDestinations.find(clientSessionId);
    if (state->fReferenceCount == 1) state->sayGoodbye();
    if (dest != fDestinations.end()) {
        state->endPlaying(dest->second, clientSessionId);
        fDestinations.erase(dest);
    }
    fClientStreams.erase(stream);
    if (--state->fReferenceCount > 0) return;
    if (state == fSharedStream) fSharedStream = nullptr;
    delete state;
}
