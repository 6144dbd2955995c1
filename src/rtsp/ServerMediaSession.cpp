#include "rtsp/ServerMediaSession.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "rtsp/RTSPResponses.h"


// ---- ServerMediaSubsession ----

ServerMediaSubsession::ServerMediaSubsession(UsageEnvironment& env) : Medium(env) {}

ServerMediaSubsession::~ServerMediaSubsession() = default;

void ServerMediaSubsession::attach(ServerMediaSession* parent, unsigned trackNumber) {
    fParentSession = parent;
    fTrackNumber = trackNumber;
    snprintf(fTrackId, sizeof fTrackId, "track%u", trackNumber);
}

void ServerMediaSubsession::pauseStream(unsigned /*clientSessionId*/, void* /*streamToken*/) {}

void ServerMediaSubsession::seekStream(unsigned /*clientSessionId*/, void* /*streamToken*/,
                                       double& /*seekNPT*/) {}

void ServerMediaSubsession::deleteStream(unsigned /*clientSessionId*/, void*& streamToken) {
    streamToken = nullptr;
}

// ---- ServerMediaSession ----

ServerMediaSession* ServerMediaSession::createNew(UsageEnvironment& env, char const* streamName,
                                                  char const* info, char const* description) {
    return new (std::nothrow) ServerMediaSession(env, streamName, info, description);
}

ServerMediaSession::ServerMediaSession(UsageEnvironment& env, char const* streamName,
                                       char const* info, char const* description)
    : Medium(env),
      fStreamName(streamName != nullptr ? streamName : ""),
      fInfo(info != nullptr ? info : ""),
      fDescription(description != nullptr ? description : "") {
    gettimeofday(&fCreationTime, nullptr);
}

ServerMediaSession::~ServerMediaSession() {
    for (ServerMediaSubsession* subsession : fSubsessions) Medium::close(subsession);
}

bool ServerMediaSession::addSubsession(ServerMediaSubsession* subsession) {
    if (subsession == nullptr || subsession->fParentSession != nullptr) return false;
    fSubsessions.push_back(subsession);
    subsession->attach(this, static_cast<unsigned>(fSubsessions.size()));
    return true;
}

ServerMediaSubsession* ServerMediaSession::subsession(unsigned index) const {
    return index < fSubsessions.size() ? fSubsessions[index] : nullptr;
}

ServerMediaSubsession* ServerMediaSession::lookupByTrackId(char const* trackId) const {
    if (trackId == nullptr) return nullptr;
    for (ServerMediaSubsession* subsession : fSubsessions) {
        if (strcmp(subsession->trackId(), trackId) == 0) return subsession;
    }
    return nullptr;
}

float ServerMediaSession::duration() const {
    float longest = 0.0f;
    for (ServerMediaSubsession* subsession : fSubsessions) {
        if (subsession->duration() > longest) longest = subsession->duration();
    }
    return longest;
}

std::string ServerMediaSession::generateSDPDescription(uint32_t serverAddress) {
    in_addr address{};
    address.s_addr = serverAddress;
    char addressText[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &address, addressText, sizeof addressText);

    char origin[128];
    snprintf(origin, sizeof origin, "o=- %ld%06ld %d IN IP4 %s\r\n",
             static_cast<long>(fCreationTime.tv_sec), static_cast<long>(fCreationTime.tv_usec), 1,
             addressText);

    std::string sdp;
    sdp.reserve(1024);
    sdp += "v=0\r\n";
    sdp += origin;
    sdp += "s=" + fDescription + "\r\n";
    sdp += "i=" + fInfo + "\r\n";
    sdp += "t=0 0\r\n";
    sdp += std::string("a=tool:") + kServerName + "\r\n";
    sdp += "a=type:broadcast\r\n";
    sdp += "a=control:*\r\n";
    sdp += rangeLine();
    for (ServerMediaSubsession* subsession : fSubsessions) {
        char const* lines = subsession->sdpLines();
        if (lines != nullptr) sdp += lines;
    }
    return sdp;
}

std::string ServerMediaSession::rangeLine() const {
    float length = duration();
    if (length <= 0.0f) return "a=range:npt=0-\r\n";
    char line[64];
    snprintf(line, sizeof line, "a=range:npt=0-%.3f\r\n", length);
    return line;
}
