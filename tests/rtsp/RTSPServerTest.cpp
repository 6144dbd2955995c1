// The RTSP server with fake tracks: methods, responses, sessions and their
// lifetime, stream start after the response, and hostile input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <memory>

#include "RTSPTestSupport.h"
#include "rtp/TCPStreamSocket.h"
#include "rtsp/RTSPClientSession.h"

namespace {

constexpr char kTCPTransport[] = "Transport: RTP/AVP/TCP;unicast\r\n";

std::string udpTransport(int port) {
    return "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" +
           std::to_string(port + 1) + "\r\n";
}

std::string sessionHeader(std::string const& id) { return "Session: " + id + "\r\n"; }

// Every response carries CSeq (when the request had one) and a Date line.
void expectCommonHeaders(std::string const& response, std::string const& cseq) {
    EXPECT_EQ(headerValue(response, "CSeq"), cseq) << response;
    EXPECT_NE(response.find("\r\nDate: "), std::string::npos) << response;
    EXPECT_NE(response.find(" GMT\r\n"), std::string::npos) << response;
}

TEST(RTSPServerSocket, ListeningSocketSettingsAndBindError) {
    TestServer ts;
    int fd = ts.server().socketNum();
    int flags = fcntl(fd, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    int reuse = 1;
    socklen_t length = sizeof reuse;
    getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &length);
    EXPECT_EQ(reuse, 0);
    int sendBuffer = 0;
    length = sizeof sendBuffer;
    getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length);
    EXPECT_GE(sendBuffer, 0x80000);

    // The port is taken now: a second socket reports the bind error.
    EXPECT_EQ(RTSPServer::setUpOurSocket(ts.env(), ts.port()), -1);
    std::string message = ts.env().getResultMsg();
    EXPECT_EQ(message.rfind("bind() error (port number: " + std::to_string(ts.port()) + "): ", 0),
              0u)
        << message;
    EXPECT_NE(message.find("in use"), std::string::npos) << message;
}

TEST(RTSPServerSocket, AcceptedSocketsGetTheLargerSendBuffer) {
    TestServer ts;
    TestClient client(ts);
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientConnections() == 1; }));
    // The accepted socket is the newest descriptor of this process.
    EXPECT_EQ(statusLine(client.request("OPTIONS", "*")), "RTSP/1.0 200 OK");
    bool found = false;
    for (int fd = 3; fd < 1024 && !found; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        sockaddr_in local{};
        length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        if (ntohs(local.sin_port) != ts.port()) continue;
        int size = 0;
        length = sizeof size;
        getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length);
        EXPECT_GE(size, 0x80000);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        found = true;
    }
    EXPECT_TRUE(found);
}

TEST(RTSPServerMethods, OptionsListsTheMethods) {
    TestServer ts;
    TestClient client(ts);
    std::string response = client.request("OPTIONS", ts.url("x"));
    EXPECT_EQ(statusLine(response), "RTSP/1.0 200 OK");
    expectCommonHeaders(response, "1");
    EXPECT_EQ(headerValue(response, "Public"),
              "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER");
}

TEST(RTSPServerMethods, StatusOfEachMethodWithoutSession) {
    TestServer ts;
    ts.addSession("cam");
    struct Case {
        const char* method;
        const char* extra;
        const char* status;
    } cases[] = {
        {"REGISTER", "", "RTSP/1.0 405 Method Not Allowed"},
        {"RTCP", "", "RTSP/1.0 405 Method Not Allowed"},
        {"ANNOUNCE", "", "RTSP/1.0 405 Method Not Allowed"},
        {"RECORD", "Session: 12345678\r\n", "RTSP/1.0 405 Method Not Allowed"},
        {"PLAY", "", "RTSP/1.0 454 Session Not Found"},
        {"PLAY", "Session: 12345678\r\n", "RTSP/1.0 454 Session Not Found"},
        {"PLAY", "Session: not-hex\r\n", "RTSP/1.0 454 Session Not Found"},
        {"PAUSE", "Session: 1\r\n", "RTSP/1.0 454 Session Not Found"},
        {"TEARDOWN", "Session: ABCDEF01\r\n", "RTSP/1.0 454 Session Not Found"},
        {"SETUP", "Session: ABCDEF01\r\nTransport: RTP/AVP/TCP\r\n",
         "RTSP/1.0 454 Session Not Found"},
        {"GET_PARAMETER", "", "RTSP/1.0 200 OK"},
        {"SET_PARAMETER", "", "RTSP/1.0 200 OK"},
        {"GET_PARAMETER", "Session: ABCDEF01\r\n", "RTSP/1.0 454 Session Not Found"},
    };
    TestClient client(ts);
    int cseq = 0;
    for (const Case& c : cases) {
        std::string response = client.request(c.method, ts.url("cam"), c.extra);
        ++cseq;
        EXPECT_EQ(statusLine(response), c.status) << c.method << " " << c.extra;
        expectCommonHeaders(response, std::to_string(cseq));
        if (std::string(c.status).find("405") != std::string::npos) {
            EXPECT_NE(headerValue(response, "Allow").find("DESCRIBE"), std::string::npos);
        }
    }
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
}

TEST(RTSPServerDescribe, SessionDescriptionLayout) {
    TestServer ts;
    ts.addSession("live/cam", 2);
    TestClient client(ts);
    std::string response = client.request("DESCRIBE", ts.url("live/cam"));
    ASSERT_EQ(statusLine(response), "RTSP/1.0 200 OK");
    expectCommonHeaders(response, "1");
    EXPECT_EQ(headerValue(response, "Content-Type"), "application/sdp");
    EXPECT_EQ(headerValue(response, "Content-Base"),
              "rtsp://127.0.0.1:" + std::to_string(ts.port()) + "/live/cam/");
    std::string sdp = bodyOf(response);
    EXPECT_EQ(headerValue(response, "Content-Length"), std::to_string(sdp.size()));

    // o=- <seconds><microseconds> 1 IN IP4 <server address>
    size_t originEnd = sdp.find("\r\n", 5);
    std::string origin = sdp.substr(5, originEnd - 5);
    EXPECT_EQ(origin.rfind("o=- ", 0), 0u) << origin;
    EXPECT_NE(origin.find(" 1 IN IP4 127.0.0.1"), std::string::npos) << origin;
    std::string expected =
        "v=0\r\n" + origin +
        "\r\n"
        "s=Test session description\r\n"
        "i=live/cam\r\n"
        "t=0 0\r\n"
        "a=tool:Nerivo Streaming Media v1.3.16.1206\r\n"
        "a=type:broadcast\r\n"
        "a=control:*\r\n"
        "a=range:npt=0-\r\n"
        "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\nb=AS:500\r\n"
        "a=rtpmap:96 H264/90000\r\na=control:track1\r\n"
        "m=video 0 RTP/AVP 97\r\nc=IN IP4 0.0.0.0\r\nb=AS:500\r\n"
        "a=rtpmap:97 H264/90000\r\na=control:track2\r\n";
    EXPECT_EQ(sdp, expected);
}

TEST(RTSPServerDescribe, UnknownStreamIsNotFound) {
    TestServer ts;
    ts.addSession("cam");
    TestClient client(ts);
    std::string response = client.request("DESCRIBE", ts.url("other"));
    EXPECT_EQ(statusLine(response), "RTSP/1.0 404 Stream Not Found");
    expectCommonHeaders(response, "1");
    // Describing a session creates nothing and keeps it registered.
    EXPECT_EQ(statusLine(client.request("DESCRIBE", ts.url("cam"))), "RTSP/1.0 200 OK");
    EXPECT_NE(ts.server().findRegisteredSession("cam"), nullptr);
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
}

TEST(RTSPServerSetup, UDPAndInterleavedTransports) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 2);
    TestClient client(ts);

    std::string udp = client.request("SETUP", ts.url("cam/track1"), udpTransport(5000));
    ASSERT_EQ(statusLine(udp), "RTSP/1.0 200 OK");
    expectCommonHeaders(udp, "1");
    EXPECT_EQ(headerValue(udp, "Transport"),
              "RTP/AVP;unicast;destination=127.0.0.1;source=127.0.0.1;client_port=5000-5001;"
              "server_port=6970-6971");
    std::string id = sessionIdOf(udp);
    ASSERT_EQ(id.size(), 8u);
    EXPECT_EQ(headerValue(udp, "Session"), id + ";timeout=65");
    EXPECT_EQ(ts.track(session, 0)->lastStream.clientRTPPort, 5000);
    EXPECT_EQ(ts.track(session, 0)->lastStream.tcpSocketNum, -1);
    EXPECT_EQ(session->referenceCount(), 1u);

    // Second track in the same session over TCP without channel ids: 2-3.
    std::string tcp = client.request("SETUP", ts.url("cam/track2"),
                                     kTCPTransport + sessionHeader(id));
    ASSERT_EQ(statusLine(tcp), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(tcp, "Transport"),
              "RTP/AVP/TCP;unicast;destination=127.0.0.1;source=127.0.0.1;interleaved=2-3");
    EXPECT_EQ(sessionIdOf(tcp), id);
    EXPECT_EQ(ts.track(session, 1)->lastStream.rtpChannelId, 2);
    EXPECT_EQ(ts.track(session, 1)->lastStream.rtcpChannelId, 3);
    EXPECT_GE(ts.track(session, 1)->lastStream.tcpSocketNum, 0);
    EXPECT_EQ(session->referenceCount(), 1u);

    // Channel ids the client names are kept.
    TestClient other(ts);
    std::string named = other.request("SETUP", ts.url("cam/track1"),
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=6-7\r\n");
    EXPECT_NE(headerValue(named, "Transport").find("interleaved=6-7"), std::string::npos);
    EXPECT_EQ(session->referenceCount(), 2u);
    EXPECT_EQ(ts.server().numClientSessions(), 2u);
}

TEST(RTSPServerSetup, RefusedSetupsLeaveNoSession) {
    TestServer ts;
    ts.addSession("cam", 2);
    ts.addSession("one", 1);
    struct Case {
        const char* path;
        const char* transport;
        const char* status;
    } cases[] = {
        {"cam/track1", "Transport: RTP/AVP;multicast;client_port=5000-5001\r\n",
         "RTSP/1.0 461 Unsupported Transport"},
        {"cam/track1", "Transport: RAW/RAW/UDP;unicast;client_port=5000-5001\r\n",
         "RTSP/1.0 461 Unsupported Transport"},
        {"cam/track1", "Transport: RTP/AVP;unicast\r\n", "RTSP/1.0 461 Unsupported Transport"},
        {"cam/track1", "", "RTSP/1.0 461 Unsupported Transport"},
        {"cam/track1", "Transport: SRTP/XYZ\r\n", "RTSP/1.0 461 Unsupported Transport"},
        {"cam/track9", "Transport: RTP/AVP/TCP\r\n", "RTSP/1.0 404 Stream Not Found"},
        {"nothing/track1", "Transport: RTP/AVP/TCP\r\n", "RTSP/1.0 404 Stream Not Found"},
        {"cam", "Transport: RTP/AVP/TCP\r\n", "RTSP/1.0 459 Aggregate Operation Not Allowed"},
    };
    TestClient client(ts);
    for (const Case& c : cases) {
        std::string response = client.request("SETUP", ts.url(c.path), c.transport);
        EXPECT_EQ(statusLine(response), c.status) << c.path << " " << c.transport;
        EXPECT_EQ(headerValue(response, "Session"), "");
    }
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
    EXPECT_EQ(ts.server().findRegisteredSession("cam")->referenceCount(), 0u);
    // The stream alone names the only track of a single-track session.
    EXPECT_EQ(statusLine(client.request("SETUP", ts.url("one"), kTCPTransport)),
              "RTSP/1.0 200 OK");
}

// Sets up every track of `path` over TCP on the client; returns the session id.
std::string setUpTCP(TestServer& ts, TestClient& client, std::string const& path, int tracks,
                     std::string const& extra = "") {
    std::string id;
    for (int i = 1; i <= tracks; ++i) {
        std::string response =
            client.request("SETUP", ts.url(path + "/track" + std::to_string(i)),
                           kTCPTransport + (id.empty() ? "" : sessionHeader(id)) + extra);
        EXPECT_EQ(statusLine(response), "RTSP/1.0 200 OK") << response;
        id = sessionIdOf(response);
    }
    return id;
}

TEST(RTSPServerPlay, ResponseComesWholeBeforeTheFirstFrame) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    TestClient client(ts);
    std::string id = setUpTCP(ts, client, "cam", 1);
    EXPECT_EQ(ts.track(session, 0)->starts, 0);

    client.send("PLAY " + ts.url("cam/") + " RTSP/1.0\r\nCSeq: 9\r\n" + sessionHeader(id) +
                "Range: npt=0.000-\r\n\r\n");
    std::string response = client.readResponse();
    // Nothing precedes the response; the '$' frame follows it directly.
    ASSERT_EQ(response.rfind("RTSP/1.0 200 OK\r\nCSeq: 9\r\nDate: ", 0), 0u) << response;
    size_t dateEnd = response.find("\r\n", 27);
    EXPECT_EQ(response.substr(dateEnd + 2),
              "Range: npt=0.000-\r\nSession: " + id + "\r\n\r\n");
    EXPECT_EQ(response.find("RTP-Info"), std::string::npos);
    std::string frame = client.readBytes(8);
    EXPECT_EQ(frame, std::string("$\x01\x00\x04RTCP", 8));
    EXPECT_EQ(ts.track(session, 0)->starts, 1);

    // A Scale request is answered with the scale in effect; still no RTP-Info.
    client.send("PLAY " + ts.url("cam/") + " RTSP/1.0\r\nCSeq: 10\r\n" + sessionHeader(id) +
                "Scale: 2.0\r\n\r\n");
    response = client.readResponse();
    EXPECT_EQ(headerValue(response, "Scale"), "1.000000");
    EXPECT_EQ(response.find("RTP-Info"), std::string::npos);
}

TEST(RTSPServerPlay, UnknownSessionKeepsTheConnectionUsable) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    TestClient client(ts);
    std::string id = setUpTCP(ts, client, "cam", 1);
    std::string response = client.request("PLAY", ts.url("cam"), "Session: 0BADF00D\r\n");
    EXPECT_EQ(statusLine(response), "RTSP/1.0 454 Session Not Found");
    EXPECT_EQ(ts.track(session, 0)->starts, 0);
    EXPECT_EQ(statusLine(client.request("PLAY", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(ts.track(session, 0)->starts, 1);
}

TEST(RTSPServerPlay, SingleTrackPlayStartsOnlyThatTrack) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 2);
    TestClient client(ts);
    std::string id = setUpTCP(ts, client, "cam", 2);
    EXPECT_EQ(statusLine(client.request("PLAY", ts.url("cam/track2"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    ASSERT_TRUE(ts.runUntil([&] { return ts.track(session, 1)->starts == 1; }));
    EXPECT_EQ(ts.track(session, 0)->starts, 0);

    // Both tracks on the connection were registered: closing it ends both
    // streams and, with nothing left, the session and the media session.
    client.close();
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientSessions() == 0; }));
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
    EXPECT_EQ(ts.server().removed, 1);
}

TEST(RTSPServerPlay, PlayNowAndRangeInSetupStartAfterTheResponse) {
    for (const char* header : {"x-playNow: \r\n", "Range: npt=0-\r\n"}) {
        TestServer ts;
        ServerMediaSession* session = ts.addSession("cam", 2);
        TestClient client(ts);
        client.send("SETUP " + ts.url("cam/track1") + " RTSP/1.0\r\nCSeq: 1\r\n" +
                    kTCPTransport + header + "\r\n");
        std::string response = client.readResponse();
        ASSERT_EQ(statusLine(response), "RTSP/1.0 200 OK") << header;
        EXPECT_NE(headerValue(response, "Transport").find("interleaved=0-1"), std::string::npos);
        // The SETUP answer only, then the stream's first frame.
        EXPECT_EQ(client.readBytes(8), std::string("$\x01\x00\x04RTCP", 8)) << header;
        EXPECT_EQ(ts.track(session, 0)->starts, 1);
        EXPECT_EQ(ts.track(session, 1)->starts, 0);
        EXPECT_EQ(client.pending(), "");
    }
}

TEST(RTSPServerPlay, PausePlayAndCloseEndTheStreamsOnce) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    FakeSubsession* track = ts.track(session, 0);
    auto client = std::make_unique<TestClient>(ts);
    std::string id = setUpTCP(ts, *client, "cam", 1);
    const std::string senderReport("$\x01\x00\x04RTCP", 8);
    EXPECT_EQ(statusLine(client->request("PLAY", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(client->readBytes(8), senderReport);
    EXPECT_EQ(statusLine(client->request("PAUSE", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(track->pauses, 1);
    EXPECT_EQ(statusLine(client->request("PLAY", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(client->readBytes(8), senderReport);
    EXPECT_EQ(track->starts, 2);
    client.reset();
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientSessions() == 0; }));
    EXPECT_EQ(FakeSubsession::liveCount, 0);  // the media session went with it
}

TEST(RTSPServerPlay, ConnectionClosedBeforePlayLeavesTheSessionUntilItTimesOut) {
    TestServer ts(nullptr, 1);
    ServerMediaSession* session = ts.addSession("cam", 1);
    auto client = std::make_unique<TestClient>(ts);
    setUpTCP(ts, *client, "cam", 1);
    client.reset();
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientConnections() == 0; }));
    // The stream towards the closed socket has ended, the session lingers.
    EXPECT_EQ(ts.track(session, 0)->deletes, 1);
    EXPECT_EQ(ts.server().numClientSessions(), 1u);
    EXPECT_NE(ts.server().findRegisteredSession("cam"), nullptr);
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientSessions() == 0; }, 3000));
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
}

TEST(RTSPServerPlay, StalledClientIsDropped) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    TestClient client(ts);
    std::string id = setUpTCP(ts, client, "cam", 1);
    EXPECT_EQ(statusLine(client.request("PLAY", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    // The client reads nothing more: what the kernel does not take overflows
    // the connection's backlog, and the connection with its streams goes.
    TCPStreamSocket* socket =
        TCPStreamSocket::lookup(ts.env(), ts.track(session, 0)->lastStream.tcpSocketNum);
    ASSERT_NE(socket, nullptr);
    std::vector<uint8_t> media(1 << 20, 0);
    for (int i = 0; i < 64 && !socket->failed(); ++i) socket->send(media.data(), media.size());
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientConnections() == 0; }));
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
}

TEST(RTSPServerLifetime, LastTeardownDestroysTheSession) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 2);
    EXPECT_EQ(ts.server().added, 1);
    TestClient first(ts), second(ts);
    std::string a = setUpTCP(ts, first, "cam", 2);
    std::string b = setUpTCP(ts, second, "cam", 1);
    EXPECT_EQ(session->referenceCount(), 2u);

    // Tearing down one track keeps the session; the whole session ends it.
    EXPECT_EQ(statusLine(first.request("TEARDOWN", ts.url("cam/track2"), sessionHeader(a))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(ts.server().numClientSessions(), 2u);
    std::string response = first.request("TEARDOWN", ts.url("cam"), sessionHeader(a));
    EXPECT_EQ(statusLine(response), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(response, "Session"), a);
    EXPECT_EQ(ts.server().numClientSessions(), 1u);
    EXPECT_EQ(session->referenceCount(), 1u);
    EXPECT_EQ(statusLine(first.request("PLAY", ts.url("cam"), sessionHeader(a))),
              "RTSP/1.0 454 Session Not Found");

    EXPECT_EQ(statusLine(second.request("TEARDOWN", ts.url("cam"), sessionHeader(b))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
    EXPECT_EQ(ts.server().removed, 1);
    EXPECT_EQ(FakeSubsession::liveCount, 0);
}

TEST(RTSPServerLifetime, IdleSessionIsReclaimedAndRequestsKeepItAlive) {
    TestServer ts(nullptr, 1);
    ServerMediaSession* session = ts.addSession("cam", 1);
    TestClient client(ts);
    std::string setup = client.request("SETUP", ts.url("cam/track1"), udpTransport(5000));
    EXPECT_EQ(headerValue(setup, "Session"), sessionIdOf(setup) + ";timeout=1");
    std::string id = sessionIdOf(setup);
    EXPECT_EQ(statusLine(client.request("PLAY", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    // Keep-alives: a request and a receiver report, each within the time.
    ts.runFor(600);
    EXPECT_EQ(statusLine(client.request("GET_PARAMETER", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    ts.runFor(600);
    FakeSubsession* track = ts.track(session, 0);
    ASSERT_NE(track->rrHandler, nullptr);
    track->rrHandler(track->rrClientData);
    ts.runFor(600);
    EXPECT_EQ(ts.server().numClientSessions(), 1u);
    // Then silence: reclaimed, and the media session with it.
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientSessions() == 0; }, 2000));
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
    EXPECT_EQ(FakeSubsession::liveCount, 0);
}

TEST(RTSPServerLifetime, AddReplacesAndRemoveDestroysUnusedSessions) {
    TestServer ts;
    ServerMediaSession* first = ts.addSession("cam", 1);
    TestClient client(ts);
    std::string id = setUpTCP(ts, client, "cam", 1);
    // Replacing a session in use unregisters it; it lives on for its client.
    ServerMediaSession* second = ts.addSession("cam", 1);
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), second);
    EXPECT_EQ(ts.server().removed, 1);
    EXPECT_EQ(FakeSubsession::liveCount, 2);
    EXPECT_EQ(statusLine(client.request("TEARDOWN", ts.url("cam"), sessionHeader(id))),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(FakeSubsession::liveCount, 1);
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), second);  // the new one stays
    (void)first;

    ts.server().removeServerMediaSession(second);
    EXPECT_EQ(FakeSubsession::liveCount, 0);
    EXPECT_EQ(ts.server().removed, 2);
}

TEST(RTSPServerLifetime, CloseAllClientSessionsEndsThemAndTheSession) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    ts.addSession("described", 1);
    TestClient a(ts), b(ts);
    setUpTCP(ts, a, "cam", 1);
    setUpTCP(ts, b, "cam", 1);
    ts.server().closeAllClientSessionsForServerMediaSession(session);
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
    EXPECT_EQ(ts.server().findRegisteredSession("cam"), nullptr);
    // A session nobody set up stays.
    ts.server().closeAllClientSessionsForServerMediaSession(
        ts.server().findRegisteredSession("described"));
    EXPECT_NE(ts.server().findRegisteredSession("described"), nullptr);
}

TEST(RTSPServerLifetime, DestroyingTheServerWithClientsConnected) {
    auto ts = std::make_unique<TestServer>();
    ts->addSession("cam", 2);
    TestClient a(*ts), b(*ts);
    std::string id = setUpTCP(*ts, a, "cam", 2);
    EXPECT_EQ(statusLine(a.request("PLAY", ts->url("cam"), sessionHeader(id))), "RTSP/1.0 200 OK");
    setUpTCP(*ts, b, "cam", 1);
    ts.reset();
    EXPECT_EQ(FakeSubsession::liveCount, 0);
    char byte;
    // The server side is gone: both connections see the end (after any data);
    // teardown resets them, so that no TIME_WAIT keeps the port from a rebuild.
    for (TestClient* client : {&a, &b}) {
        ssize_t n;
        while ((n = recv(client->fd(), &byte, 1, 0)) > 0) {
        }
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n;
    }
}

// A track whose first description runs the event loop for a while, as a
// track that probes its source does.
class ProbingSubsession : public FakeSubsession {
public:
    static ProbingSubsession* createNew(UsageEnvironment& env) { return new ProbingSubsession(env); }
    char const* sdpLines() override {
        if (!fProbed) {
            ++probeRuns;
            fProbing = true;
            fDone = 0;
            envir().taskScheduler().scheduleDelayedTask(200000, probeDone, this);
            envir().taskScheduler().doEventLoop(&fDone);
            fProbing = false;
            fProbed = true;
        }
        return FakeSubsession::sdpLines();
    }
    void getStreamParameters(unsigned id, uint32_t address, uint16_t rtpPort, uint16_t rtcpPort,
                             int tcpSocketNum, uint8_t rtpChannel, uint8_t rtcpChannel,
                             uint16_t& serverRTPPort, uint16_t& serverRTCPPort,
                             void*& token) override {
        setUpDuringProbe |= fProbing;
        FakeSubsession::getStreamParameters(id, address, rtpPort, rtcpPort, tcpSocketNum,
                                            rtpChannel, rtcpChannel, serverRTPPort,
                                            serverRTCPPort, token);
    }
    int probeRuns = 0;
    bool setUpDuringProbe = false;

private:
    explicit ProbingSubsession(UsageEnvironment& env) : FakeSubsession(env) {}
    static void probeDone(void* clientData) { static_cast<ProbingSubsession*>(clientData)->fDone = 1; }
    char volatile fDone = 0;
    bool fProbing = false;
    bool fProbed = false;
};

TEST(RTSPServerInput, RequestsWaitWhileTheirSessionIsDescribed) {
    TestServer ts;
    ServerMediaSession* session = ServerMediaSession::createNew(ts.env(), "cam", "cam", "probe");
    ProbingSubsession* track = ProbingSubsession::createNew(ts.env());
    session->addSubsession(track);
    ts.server().addServerMediaSession(session);
    TestClient a(ts), b(ts), c(ts);
    // All three are readable in the first step: one DESCRIBE probes, the
    // other requests must wait for it instead of describing or setting up
    // the track meanwhile.
    a.send("DESCRIBE " + ts.url("cam") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    b.send("DESCRIBE " + ts.url("cam") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    c.send("SETUP " + ts.url("cam/track1") + " RTSP/1.0\r\nCSeq: 1\r\n" + kTCPTransport +
           "\r\n" + "OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    for (TestClient* client : {&a, &b}) {
        std::string response = client->readResponse();
        EXPECT_EQ(statusLine(response), "RTSP/1.0 200 OK");
        EXPECT_NE(bodyOf(response).find("a=control:track1"), std::string::npos);
    }
    EXPECT_EQ(statusLine(c.readResponse()), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(c.readResponse(), "CSeq"), "2");  // in order, after the SETUP
    EXPECT_EQ(track->probeRuns, 1);
    EXPECT_FALSE(track->setUpDuringProbe);
    EXPECT_EQ(track->streamsSetUp, 1);
}

TEST(RTSPServerInput, PartialAndPipelinedRequests) {
    TestServer ts;
    ts.addSession("cam", 1);
    TestClient client(ts);
    std::string one = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    std::string two = "DESCRIBE " + ts.url("cam") + " RTSP/1.0\r\ncseq: 2\r\n\r\n";
    // Byte by byte, then two requests in one write.
    for (char c : one) {
        client.send(std::string(1, c));
        ts.step(0);
    }
    EXPECT_EQ(headerValue(client.readResponse(), "CSeq"), "1");
    client.send(two + one);
    std::string described = client.readResponse();
    EXPECT_EQ(statusLine(described), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(described, "CSeq"), "2");
    EXPECT_EQ(headerValue(client.readResponse(), "CSeq"), "1");
}

TEST(RTSPServerInput, InterleavedFramesBetweenRequests) {
    TestServer ts;
    TestClient client(ts);
    // Frames for channels nobody reads are dropped, whole or split.
    std::string frame("$\x05\x00\x03" "abc", 7);
    std::string big = std::string("$\x00\xff\xff", 4) + std::string(65535, 'x');
    client.send(frame + big + "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n" + frame.substr(0, 2));
    EXPECT_EQ(statusLine(client.readResponse()), "RTSP/1.0 200 OK");
    client.send(frame.substr(2) + "OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(headerValue(client.readResponse(), "CSeq"), "2");
}

TEST(RTSPServerInput, BadInputIsRefusedAndTheServerGoesOn) {
    TestServer ts;
    ts.addSession("cam", 1);
    struct Case {
        const char* name;
        std::string bytes;
        bool closes;
    } cases[] = {
        {"header line without colon", "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n", true},
        {"oversized head",
         "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", true},
        {"NUL in the head", std::string("OPTIONS * RTSP/1.0\r\nCSeq: \0\r\n\r\n", 32), true},
        {"bad content length", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: -5\r\n\r\n", true},
        {"huge content length", "SET_PARAMETER * RTSP/1.0\r\nContent-Length: 99999999\r\n\r\n",
         true},
        {"binary garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) +
                               "\r\n\r\n", true},
        {"unknown protocol", "OPTIONS * RTSP/2.0\r\nCSeq: 1\r\n\r\n", false},
        {"plain HTTP", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        TestClient client(ts);
        client.send(c.bytes);
        std::string response = client.readResponse();
        EXPECT_NE(response.find(" 400 Bad Request\r\n"), std::string::npos) << c.name;
        if (c.closes) {
            EXPECT_TRUE(client.waitClosed()) << c.name;
        } else {
            EXPECT_EQ(statusLine(client.request("OPTIONS", "*")), "RTSP/1.0 200 OK") << c.name;
        }
    }
    // A truncated request and a vanished client leave nothing behind.
    {
        TestClient client(ts);
        client.send("DESCRIBE " + ts.url("cam") + " RTSP/1.0\r\nCSeq: 1\r\nAcc");
        ts.runFor(20);
    }
    ASSERT_TRUE(ts.runUntil([&] { return ts.server().numClientConnections() == 0; }));
    TestClient client(ts);
    EXPECT_EQ(statusLine(client.request("DESCRIBE", ts.url("cam"))), "RTSP/1.0 200 OK");
}

TEST(RTSPServerInput, FloodWithoutEndIsClosed) {
    TestServer ts;
    TestClient client(ts);
    // A head that never ends: refused once it cannot fit.
    client.send("OPTIONS * RTSP/1.0\r\n");
    std::string header = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 80 && !client.waitClosed(1); ++i) client.send(header);
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(ts.server().numClientConnections(), 0u);
}

}  // namespace
