// A named media session (one stream name) and the abstract track interface
// the RTSP server talks to.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "event/Medium.h"

class ServerMediaSession;

// One track of a session. OnDemandServerMediaSubsession implements it with
// the RTP stack; tests implement it directly.
class ServerMediaSubsession : public Medium {
public:
    // Numbered from 1 in the order the tracks were added.
    unsigned trackNumber() const { return fTrackNumber; }
    // "track%d" with the track number.
    char const* trackId() const { return fTrackId; }
    ServerMediaSession* parentSession() const { return fParentSession; }

    // The track's SDP lines, from "m=" through "a=control:"; null when the
    // track cannot be described (it is then left out of the description).
    virtual char const* sdpLines() = 0;

    // Prepares the client's stream. clientAddress is IPv4 in network order,
    // ports in host order; tcpSocketNum is -1 for UDP, else the RTSP
    // connection's socket with the interleaved channel ids. A null streamToken
    // means the stream could not be set up.
    virtual void getStreamParameters(unsigned clientSessionId, uint32_t clientAddress,
                                     uint16_t clientRTPPort, uint16_t clientRTCPPort,
                                     int tcpSocketNum, uint8_t rtpChannelId,
                                     uint8_t rtcpChannelId, uint16_t& serverRTPPort,
                                     uint16_t& serverRTCPPort, void*& streamToken) = 0;
    // Starts sending to the client. rtcpRRHandler(rtcpRRHandlerClientData) is
    // called for each RTCP receiver report of the client.
    virtual void startStream(unsigned clientSessionId, void* streamToken,
                             TaskFunc* rtcpRRHandler, void* rtcpRRHandlerClientData,
                             uint16_t& rtpSeqNum, uint32_t& rtpTimestamp) = 0;
    virtual void pauseStream(unsigned clientSessionId, void* streamToken);
    // Live tracks cannot seek; seekNPT is left as it is.
    virtual void seekStream(unsigned clientSessionId, void* streamToken, double& seekNPT);
    // Ends the client's stream and clears the token.
    virtual void deleteStream(unsigned clientSessionId, void*& streamToken);
    // Seconds; 0 for a live track.
    virtual float duration() const { return 0.0f; }

protected:
    explicit ServerMediaSubsession(UsageEnvironment& env);
    ~ServerMediaSubsession() override;

private:
    friend class ServerMediaSession;
    void attach(ServerMediaSession* parent, unsigned trackNumber);

    ServerMediaSession* fParentSession = nullptr;
    unsigned fTrackNumber = 0;
    char fTrackId[20] = "";
};

class ServerMediaSession : public Medium {
public:
    // Null strings are taken as empty.
    static ServerMediaSession* createNew(UsageEnvironment& env, char const* streamName,
                                         char const* info, char const* description);

    bool isServerMediaSession() const override { return true; }

    char const* streamName() const { return fStreamName.c_str(); }
    char const* info() const { return fInfo.c_str(); }
    char const* description() const { return fDescription.c_str(); }

    // Takes ownership; false (nothing taken) for null or a subsession that
    // already belongs to a session.
    bool addSubsession(ServerMediaSubsession* subsession);
    unsigned numSubsessions() const { return static_cast<unsigned>(fSubsessions.size()); }
    // Index from 0; null when out of range.
    ServerMediaSubsession* subsession(unsigned index) const;
    // By "trackN" (null when none).
    ServerMediaSubsession* lookupByTrackId(char const* trackId) const;

    // The SDP description; serverAddress (IPv4, network order) goes into the
    // "o=" line. Tracks whose sdpLines() is null are left out.
    std::string generateSDPDescription(uint32_t serverAddress);

    // Client sessions that have set this session up.
    unsigned referenceCount() const { return fReferenceCount; }
    void incrementReferenceCount() {
        ++fReferenceCount;
        fHasBeenSetUp = true;
    }
    void decrementReferenceCount() {
        if (fReferenceCount > 0) --fReferenceCount;
    }

    // Longest duration of its tracks (0: live).
    float duration() const;

protected:
    ServerMediaSession(UsageEnvironment& env, char const* streamName, char const* info,
                       char const* description);
    // Closes every subsession.
    ~ServerMediaSession() override;

private:
    friend class RTSPServer;
    std::string rangeLine() const;

    std::string fStreamName;
    std::string fInfo;
    std::string fDescription;
    std::vector<ServerMediaSubsession*> fSubsessions;
    struct timeval fCreationTime;
    unsigned fReferenceCount = 0;

    // Kept by the server: requests in progress that use the session (it is
    // not destroyed under them), and whether it is in the server's table.
    // An unregistered session goes as soon as nothing uses it; a registered
    // one once it has been set up and its count drops to 0.
    unsigned fHoldCount = 0;
    unsigned fDescribeDepth = 0;
    bool fRegistered = false;
    bool fHasBeenSetUp = false;
};
