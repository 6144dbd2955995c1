// A session id is no key: while accounts exist, only the connection that
// created a session (a tunnel's GET and POST count as one) reaches it without
// credentials; any other connection must pass the check.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "LogCapture.h"
#include "ReliabilitySupport.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

using std::chrono::milliseconds;

struct OwnedSession {
    explicit OwnedSession(int authType, Transport transport = Transport::Tcp, unsigned reclamation = 65)
        : server([&] {
              DirectServerOptions options;
              options.authType = authType;
              options.reclamationSeconds = reclamation;
              return options;
          }()),
          pusher(server.pushFunction(), {0}),
          owner(server.port(), server.url("ch0"), transport) {
        if (authType == 1) owner.useDigest();
        started = owner.start(authType == 0 ? basicCredentials() : "");
        pusher.start();
    }
    ~OwnedSession() { pusher.stop(); }
    std::string url() const { return server.url("ch0"); }

    DirectServer server;
    VideoPusher pusher;
    StreamClient owner;
    bool started = false;
};

const char* const kSessionMethods[] = {"GET_PARAMETER", "SET_PARAMETER", "PAUSE", "PLAY", "TEARDOWN"};

TEST(SessionOwnership, OtherConnectionsNeedCredentials) {
    for (int authType : {0, 1}) {
        SCOPED_TRACE(authType == 0 ? "Basic" : "Digest");
        OwnedSession s(authType);
        ASSERT_TRUE(s.started) << s.owner.failure();
        std::string id = s.owner.rtsp().sessionId();
        const std::string challenge = authType == 0 ? "Basic realm=\"reliability\"" : "Digest realm=\"reliability\"";

        RtspTestClient stranger(s.server.port());
        stranger.setSession(id);
        for (const char* method : kSessionMethods) {
            RtspResponse response = stranger.request(method, s.url());
            EXPECT_EQ(response.status, 401) << method;
            EXPECT_EQ(response.header("WWW-Authenticate").rfind(challenge, 0), 0u) << method << response.text;
        }
        RtspResponse setup = stranger.request("SETUP", s.owner.controlUrl(),
                                              "Transport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n");
        EXPECT_EQ(setup.status, 401) << "no track is added to someone else's session";
        RtspResponse wrong = stranger.request("TEARDOWN", s.url(), basicCredentials("user", "bad"));
        EXPECT_EQ(wrong.status, 401);
        // Nothing of that reached the owner's stream.
        EXPECT_TRUE(s.owner.receiveFrames(10));
        EXPECT_EQ(s.owner.sequenceGaps(), 0u);
        EXPECT_EQ(s.server.clientSessions(), 1u);

        // With credentials that pass, another connection may end the session
        // (a client that reconnects does this).
        std::string credentials;
        if (authType == 0) {
            credentials = basicCredentials();
        } else {
            RtspResponse refused = stranger.request("TEARDOWN", s.url());
            credentials = digestCredentials(refused.text, "TEARDOWN", s.url());
        }
        EXPECT_EQ(stranger.request("TEARDOWN", s.url(), credentials).status, 200);
        EXPECT_TRUE(waitUntil([&] { return s.server.clientSessions() == 0; }, 2000));
    }
}

TEST(SessionOwnership, TheCreatingConnectionAndItsTunnelNeedNone) {
    OwnedSession s(0);
    ASSERT_TRUE(s.started) << s.owner.failure();
    // The owner's own requests within the session carry no credentials.
    EXPECT_EQ(s.owner.request("GET_PARAMETER", s.url()).status, 200);
    EXPECT_EQ(s.owner.request("PAUSE", s.url()).status, 200);
    EXPECT_EQ(s.owner.request("PLAY", s.url()).status, 200);

    // A session made through a tunnel: its later requests come through the
    // tunnel without credentials, also over a new POST of the same GET. (Its
    // media goes by UDP, so that the GET carries only the answers.)
    auto tunnel = std::make_unique<HttpTunnel>(s.server.port(), "owned");
    ASSERT_TRUE(tunnel->open());
    std::string setup = "SETUP " + s.owner.controlUrl() + " RTSP/1.0\r\nCSeq: 2\r\n" + basicCredentials() +
                        "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n";
    ASSERT_TRUE(tunnel->sendRequest(setup));
    std::string response = readResponse(tunnel->getFd());
    ASSERT_EQ(statusOf(response), 200) << response;
    size_t at = response.find("Session: ");
    std::string id = response.substr(at + 9, 8);
    std::string play = "PLAY " + s.url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n";
    ASSERT_TRUE(tunnel->sendRequest(play));
    EXPECT_EQ(statusOf(readResponse(tunnel->getFd())), 200);

    ASSERT_TRUE(tunnel->reopenPost());
    std::string keepAlive = "GET_PARAMETER " + s.url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + id + "\r\n\r\n";
    ASSERT_TRUE(tunnel->sendRequest(keepAlive));
    EXPECT_EQ(statusOf(readResponse(tunnel->getFd())), 200);
    std::string teardown = "TEARDOWN " + s.url() + " RTSP/1.0\r\nCSeq: 5\r\nSession: " + id + "\r\n\r\n";
    ASSERT_TRUE(tunnel->sendRequest(teardown));
    EXPECT_EQ(statusOf(readResponse(tunnel->getFd())), 200);
    EXPECT_TRUE(s.owner.receiveFrames(5));
}

TEST(SessionOwnership, WithoutAccountsAnyConnectionMayUseTheSession) {
    OwnedSession s(-1);
    ASSERT_TRUE(s.started) << s.owner.failure();
    RtspTestClient other(s.server.port());
    other.setSession(s.owner.rtsp().sessionId());
    EXPECT_EQ(other.request("GET_PARAMETER", s.url()).status, 200);
    EXPECT_EQ(other.request("TEARDOWN", s.url()).status, 200);
    EXPECT_TRUE(waitUntil([&] { return s.server.clientSessions() == 0; }, 2000));
}

TEST(SessionOwnership, RefusedRequestsDoNotKeepTheSessionAlive) {
    OwnedSession s(0, Transport::Udp, 1);
    ASSERT_TRUE(s.started) << s.owner.failure();
    RtspTestClient stranger(s.server.port());
    stranger.setSession(s.owner.rtsp().sessionId());
    // The owner falls silent; a stranger keeps naming its session.
    for (int i = 0; i < 12 && s.server.clientSessions() > 0; ++i) {
        int status = stranger.request("GET_PARAMETER", s.url()).status;
        EXPECT_TRUE(status == 401 || status == 454) << status << " (454 once it is gone)";
        std::this_thread::sleep_for(milliseconds(200));
    }
    EXPECT_EQ(s.server.clientSessions(), 0u) << "reclaimed despite the stranger's requests";
}

}  // namespace

namespace {

// Credentials, right or wrong, in any form never reach the log.
TEST(Credentials, NeverReachTheLog) {
    for (int authType : {0, 1}) {
        DirectServerOptions options;
        options.authType = authType;
        DirectServer server(options);
        server.accounts()->addUserRecord("Visitor-7", "Pw-SECRET-123");
        std::string token = basicCredentials("Visitor-7", "Pw-SECRET-123");
        std::string wrongToken = basicCredentials("Visitor-7", "Pw-WRONG-456");
        std::string text;
        int status = 0;
        {
            LogCapture log;
            RtspTestClient client(server.port());
            std::string url = server.url("ch0");
            RtspResponse challenge = client.describe(url, wrongToken);
            std::string digest = digestCredentials(challenge.text, "DESCRIBE", url, "Visitor-7", "Pw-SECRET-123");
            status = client.describe(url, authType == 0 ? token : digest).status;
            client.describe(url, digestCredentials(challenge.text, "DESCRIBE", url, "Visitor-7", "Pw-WRONG-456"));
            text = log.text();
        }
        EXPECT_EQ(status, 200);
        for (const std::string& secret :
             {std::string("Pw-SECRET-123"), std::string("Pw-WRONG-456"), token.substr(21, token.size() - 23),
              wrongToken.substr(21, wrongToken.size() - 23), std::string("Visitor-7")}) {
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in the log:\n" << text;
        }
    }
}

}  // namespace
