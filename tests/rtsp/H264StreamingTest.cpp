// The server with a synthetic H.264 track on the RTP stack: SDP, shared
// streams and ports, RTCP before media, and real clients (ffmpeg, ffprobe,
// GStreamer) that must decode exactly the pictures of the source file.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "H264FileSubsession.h"
#include "RTSPTestSupport.h"
#include "rtp/Base64.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

constexpr int kFrames = 25;

struct TestMedia {
    bool ready = false;
    NalUnits nals;
    std::vector<std::string> frameDigests;  // decoded pictures of the file, in order
};

std::vector<std::string> digestsOf(std::string const& framemd5) {
    std::vector<std::string> digests;
    std::istringstream lines(framemd5);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        digests.push_back(line.substr(line.rfind(',') + 1));
    }
    return digests;
}

// The Annex-B file, made once per process by ffmpeg.
TestMedia const& testMedia() {
    static TestMedia media = [] {
        TestMedia made;
        if (!haveProgram("ffmpeg")) return made;
        char dir[] = "/tmp/rtsp-h264-XXXXXX";
        if (mkdtemp(dir) == nullptr) return made;
        std::string path = std::string(dir) + "/out.h264";
        ChildResult generated = runChild(
            {"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
             "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-bsf:v",
             "h264_mp4toannexb", "-f", "h264", path},
            60);
        std::vector<uint8_t> bytes;
        if (generated.exitCode == 0 && readFile(path, bytes)) {
            made.nals = splitAnnexB(bytes);
            ChildResult decoded =
                runChild({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-fps_mode",
                          "passthrough", "-f", "framemd5", "-"},
                         60);
            made.frameDigests = digestsOf(decoded.output);
            made.ready = !made.nals.empty() && made.frameDigests.size() >= kFrames;
        }
        unlink(path.c_str());
        rmdir(dir);
        return made;
    }();
    return media;
}

#define REQUIRE_MEDIA()                                                         \
    if (!testMedia().ready) GTEST_SKIP() << "ffmpeg could not make the test file"

// Runs the server's event loop on its own thread while a client program runs.
class LoopThread {
public:
    explicit LoopThread(TestServer& ts) : fScheduler(ts.scheduler()) {
        fTrigger = fScheduler.createEventTrigger(stop);
        fThread = std::thread([this] { fScheduler.doEventLoop(&fWatch); });
    }
    ~LoopThread() {
        fScheduler.triggerEvent(fTrigger, this);
        fThread.join();
        fScheduler.deleteEventTrigger(fTrigger);
    }

private:
    static void stop(void* clientData) { static_cast<LoopThread*>(clientData)->fWatch = 1; }
    BasicTaskScheduler& fScheduler;
    EventTriggerId fTrigger = 0;
    char volatile fWatch = 0;
    std::thread fThread;
};

ServerMediaSession* addH264Session(TestServer& ts, char const* name, int tracks = 1,
                                   uint16_t initialPort = 6970) {
    ServerMediaSession* session =
        ServerMediaSession::createNew(ts.env(), name, name, "H.264 test stream");
    for (int i = 0; i < tracks; ++i) {
        session->addSubsession(H264FileSubsession::createNew(ts.env(), testMedia().nals, initialPort));
    }
    ts.server().addServerMediaSession(session);
    return session;
}

H264FileSubsession* h264Track(ServerMediaSession* session, unsigned index) {
    return static_cast<H264FileSubsession*>(session->subsession(index));
}

std::string base64Of(std::vector<uint8_t> const& bytes) {
    return base64Encode(bytes.data(), bytes.size());
}

// An even port whose pair is free just now, with a socket holding the port
// below it so that a search from there must skip one pair.
struct PortPair {
    int blocker = -1;
    uint16_t searchFrom = 0;
    uint16_t expected = 0;
    PortPair() {
        blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
        uint16_t port = ntohs(address.sin_port);
        searchFrom = static_cast<uint16_t>(port & ~1u);
        expected = static_cast<uint16_t>(searchFrom + 2);
    }
    ~PortPair() { close(blocker); }
};

bool udpPortFree(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

TEST(H264Streaming, TrackLinesFromTheSink) {
    REQUIRE_MEDIA();
    TestServer ts;
    ServerMediaSession* session = addH264Session(ts, "cam", 2);
    TestClient client(ts);
    std::string sdp = bodyOf(client.request("DESCRIBE", ts.url("cam")));
    H264FileSubsession* first = h264Track(session, 0);
    std::vector<uint8_t> const& sps = first->sps();
    char profile[8];
    snprintf(profile, sizeof profile, "%02X%02X%02X", sps[1], sps[2], sps[3]);
    for (int track = 1; track <= 2; ++track) {
        std::string pt = std::to_string(95 + track);
        std::string expected = "m=video 0 RTP/AVP " + pt +
                               "\r\nc=IN IP4 0.0.0.0\r\nb=AS:500\r\n"
                               "a=rtpmap:" + pt + " H264/90000\r\n"
                               "a=fmtp:" + pt + " packetization-mode=1;profile-level-id=" +
                               profile + ";sprop-parameter-sets=" + base64Of(sps) + "," +
                               base64Of(first->pps()) + "\r\n"
                               "a=control:track" + std::to_string(track) + "\r\n";
        EXPECT_NE(sdp.find(expected), std::string::npos) << sdp;
    }
    // Built once: the second description makes no new source.
    EXPECT_EQ(first->sourcesMade, 1);
    EXPECT_EQ(first->sourcesClosed, 1);
    client.request("DESCRIBE", ts.url("cam"));
    EXPECT_EQ(first->sourcesMade, 1);
}

TEST(H264Streaming, ClientsShareOneStreamAndItsPorts) {
    REQUIRE_MEDIA();
    PortPair ports;
    TestServer ts;
    ServerMediaSession* session = addH264Session(ts, "cam", 1, ports.searchFrom);
    H264FileSubsession* track = h264Track(session, 0);
    std::string expectedPorts =
        std::to_string(ports.expected) + "-" + std::to_string(ports.expected + 1);
    TestClient a(ts), b(ts);
    std::string setupA = a.request("SETUP", ts.url("cam/track1"),
                                   "Transport: RTP/AVP;unicast;client_port=40000-40001\r\n");
    std::string setupB = b.request("SETUP", ts.url("cam/track1"),
                                   "Transport: RTP/AVP/TCP;unicast\r\n");
    EXPECT_NE(headerValue(setupA, "Transport").find("server_port=" + expectedPorts),
              std::string::npos)
        << setupA;
    EXPECT_EQ(track->sourcesMade, 1);  // one shared source
    EXPECT_EQ(track->numClients(), 2u);
    EXPECT_FALSE(udpPortFree(ports.expected));

    // The stream lives until its last client leaves.
    a.request("TEARDOWN", ts.url("cam"), "Session: " + sessionIdOf(setupA) + "\r\n");
    EXPECT_EQ(track->sourcesClosed, 0);
    EXPECT_FALSE(udpPortFree(ports.expected));
    b.request("TEARDOWN", ts.url("cam"), "Session: " + sessionIdOf(setupB) + "\r\n");
    // The session is gone with its last client, and its ports are free again.
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
    EXPECT_TRUE(udpPortFree(ports.expected));
    EXPECT_TRUE(udpPortFree(static_cast<uint16_t>(ports.expected + 1)));
}

TEST(H264Streaming, InterleavedSenderReportThenMedia) {
    REQUIRE_MEDIA();
    TestServer ts;
    addH264Session(ts, "cam", 1);
    TestClient client(ts);
    std::string setup = client.request("SETUP", ts.url("cam/track1"),
                                       "Transport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n");
    std::string play = client.request("PLAY", ts.url("cam"),
                                      "Session: " + sessionIdOf(setup) + "\r\n");
    ASSERT_EQ(statusLine(play), "RTSP/1.0 200 OK");
    EXPECT_EQ(play.find("RTP-Info"), std::string::npos);
    // First frame: the sender report on the RTCP channel.
    std::string head = client.readBytes(4);
    ASSERT_EQ(head.size(), 4u);
    EXPECT_EQ(head[0], '$');
    EXPECT_EQ(head[1], 5);
    size_t length = static_cast<uint8_t>(head[2]) << 8 | static_cast<uint8_t>(head[3]);
    std::string report = client.readBytes(length);
    ASSERT_GE(report.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(report[1]), 200);  // SR
    // Then RTP on channel 4 with the dynamic payload type.
    bool sawRTP = false;
    for (int i = 0; i < 20 && !sawRTP; ++i) {
        head = client.readBytes(4);
        ASSERT_EQ(head.size(), 4u);
        ASSERT_EQ(head[0], '$');
        length = static_cast<uint8_t>(head[2]) << 8 | static_cast<uint8_t>(head[3]);
        std::string packet = client.readBytes(length);
        if (head[1] == 4) {
            EXPECT_EQ(static_cast<uint8_t>(packet[0]) >> 6, 2);
            EXPECT_EQ(static_cast<uint8_t>(packet[1]) & 0x7F, 96);
            sawRTP = true;
        }
    }
    EXPECT_TRUE(sawRTP);
}

// ---- real clients ----

enum class Auth { None, Basic, Digest };

struct ServerForClients {
    std::unique_ptr<UserAuthenticationDatabase> db;
    std::unique_ptr<TestServer> ts;
    explicit ServerForClients(Auth auth) {
        if (auth != Auth::None) {
            db.reset(UserAuthenticationDatabase::createNew(auth == Auth::Basic ? 0 : 1, nullptr));
            db->addUserRecord("alice", "s3cret");
        }
        ts = std::make_unique<TestServer>(db.get());
        addH264Session(*ts, "cam", 1);
    }
    std::string url(Auth auth) const {
        std::string credentials = auth == Auth::None ? "" : "alice:s3cret@";
        return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(ts->port()) + "/cam";
    }
};

const char* authName(Auth auth) {
    return auth == Auth::None ? "none" : auth == Auth::Basic ? "basic" : "digest";
}

TEST(H264Clients, FfmpegDecodesThePicturesOfTheFile) {
    REQUIRE_MEDIA();
    if (!haveProgram("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    struct Case {
        const char* transport;
        Auth auth;
    } cases[] = {
        {"udp", Auth::None},   {"tcp", Auth::None},   {"http", Auth::None},
        {"udp", Auth::Basic},  {"tcp", Auth::Basic},  {"http", Auth::Basic},
        {"udp", Auth::Digest}, {"tcp", Auth::Digest}, {"http", Auth::Digest},
    };
    std::vector<std::string> expected(testMedia().frameDigests.begin(),
                                      testMedia().frameDigests.begin() + kFrames);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.transport) + " / " + authName(c.auth));
        ServerForClients server(c.auth);
        ChildResult result;
        {
            LoopThread loop(*server.ts);
            result = runChild({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", c.transport,
                               "-i", server.url(c.auth), "-frames:v", std::to_string(kFrames),
                               "-fps_mode", "passthrough", "-f", "framemd5", "-"},
                              30);
        }
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(digestsOf(result.output), expected) << result.errors;
        // Without credentials the stream is refused.
        if (c.auth != Auth::None && std::string(c.transport) == "tcp") {
            LoopThread loop(*server.ts);
            ChildResult refused = runChild(
                {"ffprobe", "-v", "error", "-rtsp_transport", "tcp", server.url(Auth::None)}, 30);
            EXPECT_NE(refused.exitCode, 0);
            EXPECT_NE(refused.errors.find("401"), std::string::npos) << refused.errors;
        }
    }
}

TEST(H264Clients, FfprobeSeesTheStream) {
    REQUIRE_MEDIA();
    if (!haveProgram("ffprobe")) GTEST_SKIP() << "no ffprobe";
    ServerForClients server(Auth::Digest);
    LoopThread loop(*server.ts);
    ChildResult result =
        runChild({"ffprobe", "-v", "error", "-rtsp_transport", "http", "-show_entries",
                  "stream=codec_name,width,height", "-of", "default=nw=1", server.url(Auth::Digest)},
                 30);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "codec_name=h264\nwidth=320\nheight=240\n");
}

TEST(H264Clients, GStreamerDecodesPictures) {
    REQUIRE_MEDIA();
    if (!haveProgram("gst-launch-1.0")) GTEST_SKIP() << "no gst-launch-1.0";
    struct Case {
        const char* protocols;
        Auth auth;
    } cases[] = {{"udp", Auth::None}, {"tcp", Auth::Digest}, {"http", Auth::Basic}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.protocols) + " / " + authName(c.auth));
        ServerForClients server(c.auth);
        // An rtsph:// location tunnels over HTTP.
        std::string location = server.url(Auth::None);
        if (std::string(c.protocols) == "http") location.replace(0, 4, "rtsph");
        std::vector<std::string> argv = {
            "gst-launch-1.0", "-q", "rtspsrc", "location=" + location,
            std::string("protocols=") + (location[4] == 'h' ? "tcp" : c.protocols)};
        if (c.auth != Auth::None) {
            argv.push_back("user-id=alice");
            argv.push_back("user-pw=s3cret");
        }
        for (const char* part : {"!", "rtph264depay", "!", "avdec_h264", "!", "identity",
                                 "eos-after=25", "!", "fakesink"}) {
            argv.push_back(part);
        }
        LoopThread loop(*server.ts);
        ChildResult result = runChild(argv, 30);
        EXPECT_FALSE(result.timedOut) << result.output << result.errors;
        EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    }
}

}  // namespace
