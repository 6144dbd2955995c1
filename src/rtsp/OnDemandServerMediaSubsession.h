// A track served with the RTP stack: a stream (source, RTP sink, RTP/RTCP
// port pair, RTCP instance) made when a client sets the track up. With
// reuseFirstSource all clients share one stream, which ends with its last
// client. Subclasses supply the source and the sink.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "rtsp/ServerMediaSession.h"

class FramedSource;
class Groupsock;
class RTCPInstance;
class RTPSink;

class OnDemandServerMediaSubsession : public ServerMediaSubsession {
public:
    // Built once, from a source and a sink made for the purpose and closed
    // again; null (and retried next time) when either cannot be made.
    char const* sdpLines() override;
    void getStreamParameters(unsigned clientSessionId, uint32_t clientAddress,
                             uint16_t clientRTPPort, uint16_t clientRTCPPort, int tcpSocketNum,
                             uint8_t rtpChannelId, uint8_t rtcpChannelId, uint16_t& serverRTPPort,
                             uint16_t& serverRTCPPort, void*& streamToken) override;
    void startStream(unsigned clientSessionId, void* streamToken, TaskFunc* rtcpRRHandler,
                     void* rtcpRRHandlerClientData, uint16_t& rtpSeqNum,
                     uint32_t& rtpTimestamp) override;
    // No effect on a shared stream (other clients keep receiving it).
    void pauseStream(unsigned clientSessionId, void* streamToken) override;
    void deleteStream(unsigned clientSessionId, void*& streamToken) override;

    bool reuseFirstSource() const { return fReuseFirstSource; }
    uint16_t initialPortNum() const { return fInitialPortNum; }
    // Clients with a stream of this track.
    size_t numClients() const { return fDestinations.size(); }

    // Send buffer of a stream's RTP socket: 0.1 s at the estimated bitrate
    // (12.5 bytes per kbit/s), at least this much.
    static constexpr unsigned kMinRTPSendBufferSize = 51200;

protected:
    OnDemandServerMediaSubsession(UsageEnvironment& env, bool reuseFirstSource,
                                  uint16_t initialPortNum = 6970,
                                  bool multiplexRTCPWithRTP = false);
    // Ends every stream still open.
    ~OnDemandServerMediaSubsession() override;

    // A new source for a client (clientSessionId 0 while describing the
    // track); estBitrate (kbit/s) goes into b=AS, the RTCP bandwidth and the
    // RTP socket's send buffer.
    virtual FramedSource* createNewStreamSource(unsigned clientSessionId,
                                                unsigned& estBitrate) = 0;
    virtual RTPSink* createNewRTPSink(Groupsock* rtpGroupsock,
                                      unsigned char rtpPayloadTypeIfDynamic,
                                      FramedSource* inputSource) = 0;
    // The track's a=fmtp line (default: the sink's); may be null.
    virtual char const* getAuxSDPLine(RTPSink* rtpSink, FramedSource* inputSource);
    // Default: Medium::close.
    virtual void closeStreamSource(FramedSource* inputSource);

private:
    class StreamState;
    struct Destinations {
        bool isTCP = false;
        uint32_t address = 0;  // network order
        uint16_t rtpPort = 0;
        uint16_t rtcpPort = 0;
        int tcpSocketNum = -1;
        uint8_t rtpChannelId = 0;
        uint8_t rtcpChannelId = 0;
    };

    StreamState* createStreamState(unsigned clientSessionId);
    bool reservePorts(Groupsock*& rtpGroupsock, Groupsock*& rtcpGroupsock);
    std::string buildSDPLines(RTPSink* sink, FramedSource* source, unsigned estBitrate);

    bool fReuseFirstSource;
    uint16_t fInitialPortNum;
    bool fMultiplexRTCPWithRTP;
    std::string fSDPLines;
    bool fBuildingSDPLines = false;
    StreamState* fSharedStream = nullptr;
    std::map<unsigned, Destinations> fDestinations;  // by client session id
    std::map<unsigned, StreamState*> fClientStreams;  // by client session id
};
