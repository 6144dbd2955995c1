#include "ChannelTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <sstream>

std::string rtspUrl(uint16_t port, const std::string& name) {
    return "rtsp://127.0.0.1:" + std::to_string(port) + "/" + name;
}

std::string SdpTrack::line(const std::string& prefix) const {
    for (const std::string& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0) return l;
    return "";
}

std::vector<SdpTrack> sdpTracks(const std::string& sdp) {
    std::vector<SdpTrack> tracks;
    std::istringstream in(sdp);
    std::string l;
    while (std::getline(in, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.compare(0, 2, "m=") == 0) {
            SdpTrack track;
            std::istringstream m(l.substr(2));
            std::string port, proto;
            m >> track.media >> port >> proto >> track.payloadType;
            tracks.push_back(track);
        }
        if (tracks.empty()) continue;
        tracks.back().lines.push_back(l);
        if (l.compare(0, 10, "a=control:") == 0) tracks.back().control = l.substr(10);
    }
    return tracks;
}

std::string sdpSessionValue(const std::string& sdp, char type) {
    std::istringstream in(sdp);
    std::string l;
    while (std::getline(in, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.compare(0, 2, "m=") == 0) break;
        if (l.size() >= 2 && l[0] == type && l[1] == '=') return l.substr(2);
    }
    return "";
}

const char* transportName(Transport transport) { return transport == Transport::Tcp ? "tcp" : "udp"; }

PlayingClient::PlayingClient(uint16_t port, const std::string& name) : fClient(port), fUrl(rtspUrl(port, name)) {}

bool PlayingClient::start(Transport transport, const std::vector<TrackAssembly::Format>& formats) {
    fTransport = transport;
    RtspResponse describe = fClient.describe(fUrl);
    if (describe.status != 200) {
        fFailure = "DESCRIBE: " + describe.text;
        return false;
    }
    fSdp = describe.body();
    // Later requests go to the session's own URL, as real clients do.
    std::string base = describe.header("Content-Base");
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (!base.empty()) fUrl = base;
    std::vector<SdpTrack> tracks = sdpTracks(fSdp);
    if (tracks.size() != formats.size()) {
        fFailure = "expected " + std::to_string(formats.size()) + " tracks in\n" + fSdp;
        return false;
    }
    for (size_t i = 0; i < tracks.size(); ++i) {
        std::string trackUrl = fUrl + "/" + tracks[i].control;
        RtspResponse setup;
        if (transport == Transport::Tcp) {
            setup = fClient.setupTcp(trackUrl, static_cast<int>(2 * i));
        } else {
            fUdp.emplace_back(new UdpPair());
            if (!fUdp.back()->ok()) {
                fFailure = "no UDP port pair";
                return false;
            }
            setup = fClient.setupUdp(trackUrl, fUdp.back()->rtpPort);
        }
        if (setup.status != 200) {
            fFailure = "SETUP " + trackUrl + ": " + setup.text;
            return false;
        }
        std::string t = setup.header("Transport");
        size_t sp = t.find("server_port=");
        fServerPorts.push_back(sp == std::string::npos ? "" : t.substr(sp + 12, t.find(';', sp) - sp - 12));
        fAssemblies.emplace_back(new TrackAssembly(formats[i]));
    }
    RtspResponse play = fClient.play(fUrl);
    if (play.status != 200) {
        fFailure = "PLAY: " + play.text;
        return false;
    }
    return true;
}

void PlayingClient::receive(int timeoutMs) {
    if (fTransport == Transport::Tcp) {
        for (const InterleavedFrame& frame : fClient.readFrames(std::numeric_limits<size_t>::max(), timeoutMs)) {
            // Even channels carry RTP of track channel/2; odd ones its RTCP.
            size_t index = frame.channel / 2;
            if (frame.channel % 2 == 0 && index < fAssemblies.size())
                fAssemblies[index]->addRaw(frame.data.data(), frame.data.size());
        }
        return;
    }
    int perSocket = fUdp.empty() ? timeoutMs : timeoutMs / static_cast<int>(fUdp.size());
    for (size_t i = 0; i < fUdp.size(); ++i) {
        for (const auto& datagram : receiveDatagrams(fUdp[i]->rtp, perSocket))
            fAssemblies[i]->addRaw(datagram.data(), datagram.size());
        receiveDatagrams(fUdp[i]->rtcp, 0);  // sender reports: not looked at
    }
}

size_t PlayingClient::packetsReceived() const {
    size_t total = 0;
    for (const auto& assembly : fAssemblies) total += assembly->packets();
    return total;
}

std::vector<PushUnit> unitsOfMedium(const std::vector<PushUnit>& units, uint32_t mediaType) {
    std::vector<PushUnit> out;
    for (const PushUnit& unit : units)
        if (unit.mediaType == mediaType) out.push_back(unit);
    return out;
}

bool assemblyComplete(const TrackAssembly& assembly, const std::vector<PushUnit>& pushed) {
    if (!assembly.error().empty()) return true;  // no point waiting
    if (assembly.format() != TrackAssembly::Format::RawAudio) return assembly.units().size() >= pushed.size();
    size_t bytes = 0;
    for (const PushUnit& unit : pushed) bytes += unit.data.size();
    // Less than one packet left: that is the packet the sink still fills.
    return assembly.bytes().size() + kHeldAudioBytes >= bytes;
}

namespace {

// RTP ticks between two presentation times, as the sink rounds each one.
int64_t expectedTicks(int64_t fromUs, int64_t toUs, uint32_t clock) {
    return (toUs - fromUs) * static_cast<int64_t>(clock) / 1000000;
}

void expectTimestamp(uint32_t first, uint32_t actual, int64_t ticks, size_t index) {
    int64_t delta = static_cast<int32_t>(actual - first);
    EXPECT_LE(std::llabs(delta - ticks), 1) << "RTP timestamp of unit " << index << " is " << delta
                                            << " ticks after the first, expected " << ticks;
}

void expectRawAudio(const std::vector<PushUnit>& pushed, const TrackAssembly& assembly, const TestStream& stream) {
    Bytes all;
    std::map<size_t, size_t> unitAtOffset;
    for (size_t i = 0; i < pushed.size(); ++i) {
        unitAtOffset[all.size()] = i;
        all.insert(all.end(), pushed[i].data.begin(), pushed[i].data.end());
    }
    // The sink packs several frames into a packet and sends it once it
    // reaches its preferred size, so the last frames of a stream wait in the
    // packet being filled: what arrived is the pushed bytes less that tail.
    const Bytes& got = assembly.bytes();
    ASSERT_LE(got.size(), all.size());
    EXPECT_LT(all.size() - got.size(), kHeldAudioBytes) << "more than one packet is missing";
    EXPECT_TRUE(unitAtOffset.count(got.size()) == 1) << "the held tail does not start at a frame";
    EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << "the audio bytes differ from the pushed frames";
    size_t offset = 0;
    const auto& packets = assembly.units();
    for (size_t p = 0; p < packets.size(); ++p) {
        auto it = unitAtOffset.find(offset);
        ASSERT_NE(it, unitAtOffset.end()) << "packet " << p << " starts inside a pushed frame";
        expectTimestamp(packets[0].timestamp, packets[p].timestamp,
                        expectedTicks(pushed[0].ptsUs, pushed[it->second].ptsUs, stream.rtpClock()), p);
        EXPECT_FALSE(packets[p].marker) << "audio packets carry no marker bit";
        offset += packets[p].data.size();
    }
}

}  // namespace

void expectDelivered(const std::vector<PushUnit>& pushed, const TrackAssembly& assembly, const TestStream& stream) {
    SCOPED_TRACE(streamKindName(stream.kind));
    EXPECT_EQ(assembly.error(), "");
    if (TrackAssembly::formatOf(stream.kind) == TrackAssembly::Format::RawAudio)
        return expectRawAudio(pushed, assembly, stream);
    const auto& units = assembly.units();
    ASSERT_EQ(units.size(), pushed.size()) << "units arrived";
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(units[i].data == pushed[i].data)
            << "unit " << i << " differs (" << units[i].data.size() << " bytes, pushed " << pushed[i].data.size() << ")";
        expectTimestamp(units[0].timestamp, units[i].timestamp,
                        expectedTicks(pushed[0].ptsUs, pushed[i].ptsUs, stream.rtpClock()), i);
        // Video: the marker ends each picture; AAC: each access unit.
        bool marker = stream.video() ? isVclNal(stream.hNumber(), pushed[i].data) : true;
        EXPECT_EQ(units[i].marker, marker) << "marker bit of unit " << i;
    }
}
