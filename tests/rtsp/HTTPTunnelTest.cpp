// RTSP over HTTP on the server's port: the GET that carries responses and
// media, the POST that carries Base64 requests, and cookies that do not pair.
#include <gtest/gtest.h>

#include "RTSPTestSupport.h"
#include "rtp/Base64.h"

namespace {

std::string base64(std::string const& text) {
    return base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string tunnelGet(std::string const& cookie) {
    return "GET /cam HTTP/1.0\r\nx-sessioncookie: " + cookie +
           "\r\nAccept: application/x-rtsp-tunnelled\r\n\r\n";
}

std::string tunnelPost(std::string const& cookie) {
    return "POST /cam HTTP/1.0\r\nx-sessioncookie: " + cookie +
           "\r\nContent-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n";
}

std::string rtsp(std::string const& method, std::string const& url, int cseq,
                 std::string const& extra = "") {
    return method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra +
           "\r\n";
}

// Opens a tunnel: returns after the GET has been answered.
void openTunnel(TestServer& ts, TestClient& get, TestClient& post, std::string const& cookie) {
    (void)ts;
    get.send(tunnelGet(cookie));
    std::string answer = get.readResponse();
    ASSERT_EQ(statusLine(answer), "HTTP/1.0 200 OK") << answer;
    post.send(tunnelPost(cookie));
}

TEST(HTTPTunnel, GetAnswerAndRequestsOverThePost) {
    TestServer ts;
    ServerMediaSession* session = ts.addSession("cam", 1);
    TestClient get(ts), post(ts);
    get.send(tunnelGet("c00kie"));
    std::string answer = get.readResponse();
    size_t dateEnd = answer.find("\r\n", answer.find("\r\nDate: ") + 2);
    EXPECT_EQ(answer.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(answer.substr(17, 6), "Date: ");
    EXPECT_EQ(answer.substr(dateEnd + 2),
              "Server: Nerivo Streaming Media v1.3.16.1206\r\n"
              "Cache-Control: no-cache\r\nPragma: no-cache\r\n"
              "Content-Type: application/x-rtsp-tunnelled\r\n\r\n");

    // Base64 split at every awkward point, across groups and requests.
    std::string encoded = base64(rtsp("OPTIONS", "*", 1)) + base64(rtsp("DESCRIBE", ts.url("cam"), 2));
    std::string stream = tunnelPost("c00kie") + encoded.substr(0, 5);
    post.send(stream);
    ts.runFor(5);
    for (size_t i = 5; i < encoded.size(); i += 7) {
        post.send(encoded.substr(i, 7));
        ts.step(0);
    }
    EXPECT_EQ(headerValue(get.readResponse(), "CSeq"), "1");
    std::string described = get.readResponse();
    EXPECT_EQ(statusLine(described), "RTSP/1.0 200 OK");
    EXPECT_NE(bodyOf(described).find("a=control:track1"), std::string::npos);

    // SETUP and PLAY: the answer, then the media, both on the GET connection.
    post.send(base64(rtsp("SETUP", ts.url("cam/track1"), 3, "Transport: RTP/AVP/TCP;unicast\r\n")));
    std::string setup = get.readResponse();
    ASSERT_EQ(statusLine(setup), "RTSP/1.0 200 OK");
    post.send(base64(rtsp("PLAY", ts.url("cam"), 4, "Session: " + sessionIdOf(setup) + "\r\n")));
    EXPECT_EQ(statusLine(get.readResponse()), "RTSP/1.0 200 OK");
    EXPECT_EQ(get.readBytes(8), std::string("$\x01\x00\x04RTCP", 8));
    EXPECT_EQ(ts.track(session, 0)->starts, 1);
    // The POST connection itself is never answered.
    EXPECT_EQ(post.readBytes(1, 50), "");

    // Closing the GET ends the tunnel: streams, session and POST connection.
    get.close();
    EXPECT_TRUE(post.waitClosed());
    EXPECT_EQ(ts.server().numClientSessions(), 0u);
}

TEST(HTTPTunnel, GetAndPostOnOneConnection) {
    TestServer ts;
    ts.addSession("cam", 1);
    TestClient both(ts);
    both.send(tunnelGet("same"));
    EXPECT_EQ(statusLine(both.readResponse()), "HTTP/1.0 200 OK");
    both.send(tunnelPost("same") + base64(rtsp("OPTIONS", "*", 7)));
    std::string answer = both.readResponse();
    EXPECT_EQ(statusLine(answer), "RTSP/1.0 200 OK");
    EXPECT_EQ(headerValue(answer, "CSeq"), "7");
}

TEST(HTTPTunnel, CookiesThatDoNotPairAreRefused) {
    TestServer ts;
    TestClient get(ts), post(ts);
    openTunnel(ts, get, post, "taken");

    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"POST with an unknown cookie", tunnelPost("nobody")},
        {"POST without a cookie", "POST /cam HTTP/1.0\r\nContent-Length: 32767\r\n\r\n"},
        {"second POST for a tunnel", tunnelPost("taken")},
        {"GET with a cookie in use", tunnelGet("taken")},
        {"GET without a cookie", "GET /cam HTTP/1.0\r\n\r\n"},
        {"GET with an oversized cookie", tunnelGet(std::string(300, 'c'))},
    };
    for (const Case& c : cases) {
        TestClient intruder(ts);
        intruder.send(c.bytes);
        EXPECT_EQ(statusLine(intruder.readResponse()), "HTTP/1.0 400 Bad Request") << c.name;
        EXPECT_TRUE(intruder.waitClosed()) << c.name;
    }
    // The first tunnel still works.
    post.send(base64(rtsp("OPTIONS", "*", 1)));
    EXPECT_EQ(statusLine(get.readResponse()), "RTSP/1.0 200 OK");
}

TEST(HTTPTunnel, BadBase64ClosesThePostOnly) {
    TestServer ts;
    TestClient get(ts);
    {
        TestClient post(ts);
        openTunnel(ts, get, post, "k");
        post.send("!!!!");
        EXPECT_TRUE(post.waitClosed());
    }
    // A new POST can take the tunnel over.
    TestClient post(ts);
    post.send(tunnelPost("k") + base64(rtsp("OPTIONS", "*", 2)));
    EXPECT_EQ(headerValue(get.readResponse(), "CSeq"), "2");
}

TEST(HTTPTunnel, GarbageRequestOverThePostClosesTheTunnel) {
    TestServer ts;
    TestClient get(ts), post(ts);
    openTunnel(ts, get, post, "g");
    post.send(base64("OPTIONS * RTSP/1.0\r\nno colon here\r\n\r\n"));
    EXPECT_NE(get.readResponse().find("400 Bad Request"), std::string::npos);
    EXPECT_TRUE(get.waitClosed());
    EXPECT_TRUE(post.waitClosed());
    EXPECT_EQ(ts.server().numClientConnections(), 0u);
}

}  // namespace
