// Known attack shapes against the RTSP port. Each is answered sanely or its
// connection is closed; a client that streams meanwhile loses nothing, and a
// new client can stream afterwards.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ReliabilitySupport.h"

namespace {

using std::chrono::milliseconds;

struct RawCase {
    const char* name;
    std::string bytes;
    int status;   // expected answer; 0: none
    bool closes;  // the server closes the connection
};

// Sends the bytes on a fresh connection and checks the answer and whether
// the connection stays usable.
void runRawCase(uint16_t port, const RawCase& c) {
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.bytes.size()));
    std::string response = readResponse(fd, 2000);
    EXPECT_EQ(statusOf(response), c.status) << c.name << ": " << response.substr(0, 60);
    if (c.closes) {
        EXPECT_TRUE(waitForClose(fd, 2000)) << c.name;
    } else {
        std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 9\r\n\r\n";
        EXPECT_EQ(statusOf(rtspExchange(fd, options)), 200) << c.name << ": the connection goes on";
    }
    close(fd);
}

// The viewer has missed nothing and a newcomer streams.
void expectServingGoesOn(DirectServer& server, StreamClient& viewer, const std::string& extra = "",
                         bool digest = false) {
    EXPECT_TRUE(viewer.receiveFrames(5)) << "the viewer stopped receiving";
    EXPECT_EQ(viewer.sequenceGaps(), 0u);
    EXPECT_FALSE(viewer.closedByServer());
    StreamClient newcomer(server.port(), server.url("ch0"), Transport::Tcp);
    if (digest) newcomer.useDigest();
    ASSERT_TRUE(newcomer.start(extra)) << newcomer.failure();
    EXPECT_TRUE(newcomer.receiveFrames(5));
}

struct Streaming {
    explicit Streaming(const DirectServerOptions& options = DirectServerOptions(), const std::string& extra = "",
                       bool digest = false)
        : server(options),
          pusher(server.pushFunction(), {0}),
          viewer(server.port(), server.url("ch0"), Transport::Tcp) {
        if (digest) viewer.useDigest();
        started = viewer.start(extra);
        pusher.start();
    }
    ~Streaming() { pusher.stop(); }
    DirectServer server;
    VideoPusher pusher;
    StreamClient viewer;
    bool started = false;
};

TEST(HostileInput, MalformedRequestLines) {
    Streaming s;
    ASSERT_TRUE(s.started) << s.viewer.failure();
    const std::string tail = " * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    RawCase cases[] = {
        {"leading space", " OPTIONS" + tail, 400, true},
        {"leading tab", "\tOPTIONS" + tail, 400, true},
        {"leading NUL bytes", std::string("\0\0OPTIONS", 9) + tail, 400, true},
        {"NUL inside the method", std::string("OPT\0IONS", 8) + tail, 400, true},
        {"NUL inside the URL", std::string("OPTIONS rtsp://x/\0a RTSP/1.0\r\n\r\n", 32), 400, true},
        {"lone CR in a header", "OPTIONS * RTSP/1.0\r\nCSeq: 1\rX: y\r\n\r\n", 400, true},
        {"folded header line", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n  more\r\n\r\n", 400, true},
        {"four words in the request line", "OPTIONS * x RTSP/1.0\r\nCSeq: 1\r\n\r\n", 400, false},
        {"unknown protocol", "OPTIONS * RTSP/9.9\r\nCSeq: 1\r\n\r\n", 400, false},
        {"internal pseudo-method", "RTCP * RTSP/1.0\r\nCSeq: 1\r\n\r\n", 405, false},
        {"REGISTER", "REGISTER rtsp://x/ch0 RTSP/1.0\r\nCSeq: 1\r\n\r\n", 405, false},
        {"huge Content-Length", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400,
         true},
        {"negative Content-Length", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: -1\r\n\r\n", 400, true},
        {"signed Content-Length", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: +4\r\n\r\nabcd", 400, true},
        {"two Content-Lengths", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400,
         true},
        {"CSeq of a thousand bytes", "OPTIONS * RTSP/1.0\r\nCSeq: " + std::string(1000, '7') + "\r\n\r\n", 200, false},
    };
    for (const RawCase& c : cases) runRawCase(s.server.port(), c);
    expectServingGoesOn(s.server, s.viewer);
}

std::string describeWith(const std::string& url, const std::string& headers) {
    return "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 3\r\n" + headers + "\r\n";
}

TEST(HostileInput, MisleadingBasicCredentials) {
    DirectServerOptions options;
    options.authType = 0;
    Streaming s(options, basicCredentials());
    ASSERT_TRUE(s.started) << s.viewer.failure();
    const std::string url = s.server.url("ch0");
    const std::string right = basicCredentials();
    const std::string wrong = basicCredentials("user", "wrong");
    RawCase cases[] = {
        {"wrong, then right", describeWith(url, wrong + right), 401, false},
        {"right, then wrong: the first decides", describeWith(url, right + wrong), 200, false},
        {"empty token", describeWith(url, "Authorization: Basic \r\n"), 401, false},
        {"one-character token", describeWith(url, "Authorization: Basic d\r\n"), 401, false},
        {"token beyond 127 characters", describeWith(url, "Authorization: Basic " + std::string(200, 'd') + "\r\n"),
         401, false},
        {"not Base64", describeWith(url, "Authorization: Basic !!!!\r\n"), 401, false},
        {"no colon", describeWith(url, "Authorization: Basic dXNlcnBhc3M=\r\n"), 401, false},
        {"user name of 36 bytes", describeWith(url, basicCredentials(std::string(36, 'u'), "pass")), 401, false},
        {"Digest in Basic mode", describeWith(url, "Authorization: Digest username=\"user\", realm=\"r\", "
                                                   "nonce=\"n\", uri=\"u\", response=\"x\"\r\n"),
         401, false},
    };
    for (const RawCase& c : cases) runRawCase(s.server.port(), c);
    expectServingGoesOn(s.server, s.viewer, right);
}

TEST(HostileInput, MisleadingDigestCredentials) {
    DirectServerOptions options;
    options.authType = 1;
    Streaming s(options, "", true);
    ASSERT_TRUE(s.started) << s.viewer.failure();
    const std::string url = s.server.url("ch0");
    struct Case {
        const char* name;
        std::string header;  // the Authorization lines, "%C" replaced by correct credentials
    } cases[] = {
        {"unterminated quote", "Authorization: Digest username=\"user, realm=\"reliability\r\n"},
        {"quote that runs to the end", "Authorization: Digest username=\"user\", response=\"\r\n"},
        {"repeated parameter", "Authorization: Digest username=\"user\", username=\"user\", %R\r\n"},
        {"value beyond 255 characters", "Authorization: Digest username=\"" + std::string(300, 'u') + "\", %R\r\n"},
        {"control character in a value", "Authorization: Digest username=\"us\x01r\", %R\r\n"},
        {"bad first header, good second", "Authorization: Digest username=\"nobody\", %R\r\n%C"},
        {"Basic in Digest mode", basicCredentials()},
    };
    for (const Case& c : cases) {
        int fd = connectLoopback(s.server.port());
        // Fetch a nonce on this connection, then send the crafted header.
        std::string challenge = rtspExchange(fd, describeWith(url, ""));
        ASSERT_EQ(statusOf(challenge), 401);
        std::string correct = digestCredentials(challenge, "DESCRIBE", url);
        std::string rest = correct.substr(correct.find("realm="));
        rest = rest.substr(0, rest.size() - 2);  // without the line end
        std::string header = c.header;
        for (size_t at; (at = header.find("%C")) != std::string::npos;) header.replace(at, 2, correct);
        for (size_t at; (at = header.find("%R")) != std::string::npos;) header.replace(at, 2, rest);
        std::string response = rtspExchange(fd, describeWith(url, header));
        EXPECT_EQ(statusOf(response), 401) << c.name;
        EXPECT_NE(response.find("WWW-Authenticate: Digest realm=\"reliability\", nonce=\""), std::string::npos)
            << c.name;
        // The same connection still takes good credentials for the new nonce.
        EXPECT_EQ(statusOf(rtspExchange(fd, describeWith(url, digestCredentials(response, "DESCRIBE", url)))), 200)
            << c.name;
        close(fd);
    }
    expectServingGoesOn(s.server, s.viewer, "", true);
}

std::string tunnelHead(const char* method, const std::string& cookie) {
    std::string head = std::string(method) + " /ch0 HTTP/1.0\r\n";
    if (!cookie.empty()) head += "x-sessioncookie: " + cookie + "\r\n";
    if (std::string(method) == "GET") return head + "Accept: application/x-rtsp-tunnelled\r\n\r\n";
    return head + "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n";
}

TEST(HostileInput, TunnelsWithSharedOrMissingCookies) {
    Streaming s;
    ASSERT_TRUE(s.started) << s.viewer.failure();
    uint16_t port = s.server.port();
    const std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 5\r\n\r\n";

    HttpTunnel first(port, "shared");
    ASSERT_TRUE(first.open());
    RawCase cases[] = {
        {"GET with a cookie in use", tunnelHead("GET", "shared"), 400, true},
        {"second POST for a tunnel", tunnelHead("POST", "shared"), 400, true},
        {"POST with an unknown cookie", tunnelHead("POST", "unknown"), 400, true},
        {"POST without a cookie", tunnelHead("POST", ""), 400, true},
        {"GET without a cookie", tunnelHead("GET", ""), 400, true},
        {"cookie of 300 characters", tunnelHead("GET", std::string(300, 'c')), 400, true},
        {"GET then POST with another cookie", tunnelHead("GET", "own") + tunnelHead("POST", "other"), 200, true},
    };
    for (const RawCase& c : cases) runRawCase(port, c);
    // The first tunnel is untouched by all of that.
    ASSERT_TRUE(first.sendRequest(options));
    EXPECT_EQ(statusOf(readResponse(first.getFd())), 200);

    // GET and POST on one connection form a tunnel of their own.
    int both = connectLoopback(port);
    std::string heads = tunnelHead("GET", "both") + tunnelHead("POST", "both");
    send(both, heads.data(), heads.size(), MSG_NOSIGNAL);
    EXPECT_EQ(statusOf(readResponse(both)), 200);
    std::string encoded = "T1BUSU9OUyAqIFJUU1AvMS4wDQpDU2VxOiA1DQoNCg==";  // the OPTIONS above
    send(both, encoded.data(), encoded.size(), MSG_NOSIGNAL);
    EXPECT_EQ(statusOf(readResponse(both)), 200);
    close(both);
    expectServingGoesOn(s.server, s.viewer);
}

TEST(HostileInput, Base64SplitAcrossReads) {
    Streaming s;
    ASSERT_TRUE(s.started) << s.viewer.failure();
    HttpTunnel tunnel(s.server.port(), "split");
    ASSERT_TRUE(tunnel.open());
    const std::string describe = "DESCRIBE " + s.server.url("ch0") + " RTSP/1.0\r\nCSeq: 2\r\n\r\n";
    // Pieces of every size up to a group and beyond, with pauses so that
    // each arrives in a read of its own.
    for (size_t piece : {1u, 2u, 3u, 5u, 7u}) {
        ASSERT_TRUE(tunnel.sendRequest(describe, piece, 2));
        std::string response = readResponse(tunnel.getFd());
        EXPECT_EQ(statusOf(response), 200) << piece;
        EXPECT_NE(response.find("m=video"), std::string::npos) << piece;
    }
    // Line breaks and blanks inside the Base64 text are skipped.
    std::string encoded = "T1BUSU9O\r\nUyAqIFJU U1AvMS4w\tDQpDU2VxOiA1DQoNCg==";
    send(tunnel.postFd(), encoded.data(), encoded.size(), MSG_NOSIGNAL);
    EXPECT_EQ(statusOf(readResponse(tunnel.getFd())), 200);
    expectServingGoesOn(s.server, s.viewer);
}

TEST(HostileInput, SessionStatesOutOfOrder) {
    Streaming s;
    ASSERT_TRUE(s.started) << s.viewer.failure();
    const std::string url = s.server.url("ch0");
    const std::string track = s.viewer.controlUrl();

    // PLAY and friends before any SETUP.
    for (const char* session : {"", "12345678", "zzzz", "123456789", "-1"}) {
        RtspTestClient client(s.server.port());
        client.setSession(session);
        EXPECT_EQ(client.request("PLAY", url).status, 454) << session;
        EXPECT_EQ(client.request("TEARDOWN", url).status, 454) << session;
        EXPECT_EQ(client.request("PAUSE", url).status, 454) << session;
    }

    // SETUPs with ports and channels that cannot be used.
    struct Transport {
        const char* value;
        int status;
    } transports[] = {
        {"RTP/AVP;unicast;client_port=0-1", 461},
        {"RTP/AVP;unicast;client_port=0", 461},
        {"RTP/AVP;unicast;client_port=65535", 461},
        {"RTP/AVP;unicast;client_port=70000-70001", 461},
        {"RTP/AVP;unicast", 461},
        {"RTP/AVP/TCP;unicast;interleaved=255", 461},
        {"RTP/AVP/TCP;unicast;interleaved=254-255", 200},
        {"RTP/AVP;multicast;client_port=5000-5001", 461},
        {"RAW/RAW/UDP;unicast;client_port=5000-5001", 461},
    };
    for (const Transport& t : transports) {
        RtspTestClient client(s.server.port());
        RtspResponse response = client.request("SETUP", track, std::string("Transport: ") + t.value + "\r\n");
        EXPECT_EQ(response.status, t.status) << t.value;
    }

    // The same track set up twice in one session: the second replaces the
    // first, and the stream arrives once.
    StreamClient twice(s.server.port(), url, ::Transport::Tcp);
    ASSERT_TRUE(twice.start()) << twice.failure();
    RtspResponse again = twice.request("SETUP", twice.controlUrl(), "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(twice.request("PLAY", url + "/", "Range: npt=0.000-\r\n").status, 200);
    ASSERT_TRUE(twice.receiveFrames(10));
    EXPECT_EQ(twice.sequenceGaps(), 0u) << "packets twice or missing";
    size_t packets = twice.packets();
    size_t frames = twice.frames();
    EXPECT_LE(packets, frames * 4 + 8) << "about one packet per frame of 4000 bytes is three";

    // Ranges in absolute time, and nonsense ranges, on a live stream.
    for (const char* range : {"clock=19961108T143720.25Z-", "clock=20300101T000000Z-20300101T000010Z",
                              "npt=-5", "npt=nan-", "npt=1e309-", "smpte=10:07:00-", "npt=now-"}) {
        StreamClient client(s.server.port(), url, ::Transport::Tcp);
        ASSERT_TRUE(client.start()) << client.failure();
        RtspResponse play = client.request("PLAY", url + "/", std::string("Range: ") + range + "\r\n");
        EXPECT_EQ(play.status, 200) << range;
        EXPECT_TRUE(client.receiveFrames(3)) << range;
    }
    // A SETUP with an absolute range plays at once.
    RtspTestClient playNow(s.server.port());
    RtspResponse setup = playNow.request(
        "SETUP", track, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nRange: clock=19961108T143720.25Z-\r\n");
    EXPECT_EQ(setup.status, 200);
    EXPECT_FALSE(playNow.readFrames(3).empty());
    expectServingGoesOn(s.server, s.viewer);
}

std::string interleaved(uint8_t channel, size_t length, char fill = 'x') {
    std::string frame = "$";
    frame += static_cast<char>(channel);
    frame += static_cast<char>(length >> 8);
    frame += static_cast<char>(length & 0xFF);
    return frame + std::string(length, fill);
}

TEST(HostileInput, InterleavedFramesWithBadChannelsAndLengths) {
    Streaming s;
    ASSERT_TRUE(s.started) << s.viewer.failure();
    const std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 4\r\n\r\n";
    // A receiver report with a length field far beyond its packet, and
    // junk, on the RTCP channel.
    std::string lyingReport("\x81\xc9\xff\xff\x12\x34\x56\x78", 8);
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"channel nobody reads", interleaved(255, 10)},
        {"empty frame", interleaved(7, 0)},
        {"frame on the RTP channel", interleaved(0, 1500)},
        {"largest frame of junk on the RTCP channel", interleaved(1, 65535)},
        {"report whose length lies", "$\x01" + std::string("\x00\x08", 2) + lyingReport},
        {"report followed by junk", "$\x01\xff\xf0" + lyingReport + std::string(0xfff0 - 8, '\x80')},
        {"many tiny frames", [] {
             std::string many;
             for (int i = 0; i < 5000; ++i) many += interleaved(static_cast<uint8_t>(i % 256), 1);
             return many;
         }()},
    };
    for (const Case& c : cases) {
        // On the streaming connection itself and on a fresh one.
        ASSERT_TRUE(s.viewer.rtsp().sendRaw(c.bytes)) << c.name;
        RtspTestClient other(s.server.port());
        ASSERT_TRUE(other.sendRaw(c.bytes + options)) << c.name;
        EXPECT_EQ(other.request("OPTIONS", "*").status, 200) << c.name;
        EXPECT_TRUE(s.viewer.receiveFrames(2)) << c.name;
    }
    // A frame longer than what follows swallows the request behind it, and
    // the connection goes on once the frame is complete.
    int swallowed = connectLoopback(s.server.port());
    std::string head = interleaved(9, 100).substr(0, 4 + 50) + options;
    send(swallowed, head.data(), head.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readResponse(swallowed, 300), "") << "the request is inside the frame";
    std::string rest = std::string(100 - 50 - options.size(), 'y') + options;
    send(swallowed, rest.data(), rest.size(), MSG_NOSIGNAL);
    EXPECT_EQ(statusOf(readResponse(swallowed)), 200);
    close(swallowed);
    expectServingGoesOn(s.server, s.viewer);
}

TEST(HostileInput, ConnectionFloods) {
    DirectServerOptions options;
    options.incompleteRequestMs = 500;
    Streaming s(options);
    ASSERT_TRUE(s.started) << s.viewer.failure();
    uint16_t port = s.server.port();

    // Connections that come and go at once, closed and reset, without
    // waiting for the handshake.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    for (int i = 0; i < 300; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (i % 2 == 1) {
            linger abort{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        close(fd);
    }
    EXPECT_TRUE(waitUntil([&] { return s.server.connections() == 1; }, 5000)) << s.server.connections();
    // Connections that start a request and never finish it.
    ConnectionSwarm stalled(port, 200);
    stalled.sendAll([](size_t) { return std::string("DESCRIBE rtsp://127.0.0.1/ch0 RTSP/1.0\r\nCSeq: 1\r\n"); });
    // Everyone describing at once.
    ConnectionSwarm describing(port, 100);
    describing.sendAll([&](size_t) { return describeWith(s.server.url("ch0"), ""); });
    EXPECT_EQ(describing.collect(1, 5000), 100u);
    EXPECT_TRUE(waitUntil([&] { return stalled.closedByServer() == 200; }, 3000)) << stalled.closedByServer();
    describing.closeAll();
    stalled.closeAll();
    EXPECT_TRUE(waitUntil([&] { return s.server.connections() == 1; }, 3000)) << s.server.connections();
    expectServingGoesOn(s.server, s.viewer);
}

}  // namespace
