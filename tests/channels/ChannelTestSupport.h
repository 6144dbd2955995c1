// Helpers shared by the channel tests: URLs, the tracks of an SDP
// description, a client that sets up every track of a session, and the
// comparison of what arrived with what was pushed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Loopback.h"
#include "MediaStreams.h"
#include "RtpAssembly.h"
#include "RtspTestClient.h"

std::string rtspUrl(uint16_t port, const std::string& name);

struct SdpTrack {
    std::string media;  // "video", "audio"
    int payloadType = -1;
    std::string control;
    std::vector<std::string> lines;  // every line of the media section
    // The first line that starts with `prefix`, or "".
    std::string line(const std::string& prefix) const;
};

std::vector<SdpTrack> sdpTracks(const std::string& sdp);
// The value of the first session-level line "x=..." (before any m= line).
std::string sdpSessionValue(const std::string& sdp, char type);

enum class Transport { Tcp, Udp };
const char* transportName(Transport transport);

// One RTSP client that has described a stream, set up each of its tracks
// over one transport and receives them.
class PlayingClient {
public:
    PlayingClient(uint16_t port, const std::string& name);
    // DESCRIBE, SETUP of every track (interleaved 0-1, 2-3 / a UDP pair
    // each), PLAY; false with the failing response in failure(). Requests
    // after DESCRIBE use its Content-Base.
    bool start(Transport transport, const std::vector<TrackAssembly::Format>& formats);
    // Feeds what arrives within timeoutMs to the tracks' assemblies.
    void receive(int timeoutMs);
    // Receives until done() holds or timeoutMs passed.
    template <typename Done>
    bool receiveUntil(Done done, int timeoutMs);
    // Everything received so far on any track (packets), for "nothing more".
    size_t packetsReceived() const;

    TrackAssembly& track(size_t index) { return *fAssemblies[index]; }
    RtspTestClient& rtsp() { return fClient; }
    // The URL asked for; after start() the session's (Content-Base).
    const std::string& url() const { return fUrl; }
    const std::string& failure() const { return fFailure; }
    const std::string& sdp() const { return fSdp; }
    const std::vector<std::string>& serverPorts() const { return fServerPorts; }

private:
    RtspTestClient fClient;
    std::string fUrl;
    std::string fSdp;
    std::string fFailure;
    Transport fTransport = Transport::Tcp;
    std::vector<std::unique_ptr<TrackAssembly>> fAssemblies;
    std::vector<std::unique_ptr<UdpPair>> fUdp;
    std::vector<std::string> fServerPorts;
};

template <typename Done>
bool PlayingClient::receiveUntil(Done done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (done()) return true;
        receive(50);
    }
    return done();
}

// Payload bytes of the audio packet a sink may still be filling: it sends a
// packet of several G.711/G.726 frames once it reaches 1000 bytes.
constexpr size_t kHeldAudioBytes = 1000 - 12;

// Units of one medium of a schedule.
std::vector<PushUnit> unitsOfMedium(const std::vector<PushUnit>& units, uint32_t mediaType);
// True when the assembly holds as many units (bytes for raw audio) as pushed.
bool assemblyComplete(const TrackAssembly& assembly, const std::vector<PushUnit>& pushed);

// Expects the assembly to hold exactly the pushed units, in order, with RTP
// timestamps that follow the presentation times and the marker bits of the
// payload format.
void expectDelivered(const std::vector<PushUnit>& pushed, const TrackAssembly& assembly,
                     const TestStream& stream);
