// One RTSP client session of the load client: its RTSP connection, its UDP
// socket pair (UDP transport) and what its video stream delivers.
// DESCRIBE, SETUP of the video track, PLAY, keep-alives, TEARDOWN.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RtpReceiveStats.h"
#include "RtspReader.h"

class LoadClient;
class LoadSession;

// What an epoll event refers to.
struct EventTag {
    enum Kind { Control, Rtp, Rtcp };
    LoadSession* session;
    Kind kind;
};

class LoadSession {
public:
    enum class State { Waiting, Connecting, Describing, SettingUp, Starting, Playing, TearingDown, Closed, Failed };

    LoadSession(LoadClient& client, unsigned index, std::string url);
    ~LoadSession();
    LoadSession(const LoadSession&) = delete;
    LoadSession& operator=(const LoadSession&) = delete;

    // Connects; the rest follows from the events.
    void begin();
    void handleEvent(EventTag::Kind kind, uint32_t events);
    // Request time-outs and keep-alives.
    void tick(int64_t nowMono);
    void teardown();
    // Fails a session still setting up.
    void abandon(const char* why) { fail(why); }

    State state() const { return fState; }
    bool settingUp() const { return fState >= State::Connecting && fState <= State::Starting; }
    bool hasFirstPacket() const { return fFirstPacketUs >= 0; }
    int64_t firstPacketDelayUs() const { return fFirstPacketUs; }
    const RtpReceiveStats& rtp() const { return fRtp; }
    const std::string& failure() const { return fFailure; }
    uint64_t keepAlivesAnswered() const { return fKeepAlivesAnswered; }

private:
    void onConnected();
    void readControl();
    void handleItems();
    void onResponse(const RtspMessage& response);
    void onDescribed(const RtspMessage& response);
    void onSetUp(const RtspMessage& response);
    void onStarted();
    void readUdp(int fd, bool rtcp);
    void onRtp(const uint8_t* data, size_t size, int64_t arrivalWallUs);
    void onRtcp(const uint8_t* data, size_t size);
    bool sendRequest(const char* method, const std::string& url, const std::string& extraHeaders);
    void fail(const std::string& why);
    void closeSockets();
    void setState(State state);
    bool addToEpoll(int fd, EventTag* tag, uint32_t events);

    LoadClient& fClient;
    unsigned fIndex;
    std::string fUrl;
    std::string fTrackUrl;
    std::string fSessionId;
    State fState = State::Waiting;
    std::string fFailure;

    int fControlFd = -1;
    int fRtpFd = -1;
    int fRtcpFd = -1;
    uint16_t fClientPort = 0;
    EventTag fControlTag;
    EventTag fRtpTag;
    EventTag fRtcpTag;
    RtspReader fReader;

    unsigned fCSeq = 0;
    const char* fPending = nullptr;  // method awaiting its response
    int64_t fPendingSinceMono = 0;
    int64_t fNextKeepAliveMono = 0;
    uint64_t fKeepAlivesAnswered = 0;

    int64_t fPlaySentWallUs = 0;
    int64_t fFirstPacketUs = -1;  // PLAY to first RTP packet
    RtpReceiveStats fRtp;
    // Frames of the window that came before the first sender report: mapped
    // when it arrives.
    struct Unmapped {
        uint32_t rtpTime;
        int64_t arrivalWallUs;
    };
    std::vector<Unmapped> fUnmapped;
};
