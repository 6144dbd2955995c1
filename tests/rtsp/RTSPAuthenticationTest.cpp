// The server's access check end to end: which requests are checked, the
// challenges of both modes, the per-connection nonce, and the hooks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "RTSPTestSupport.h"
#include "rtp/Base64.h"
#include "rtsp/Authenticator.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

enum class Cred {
    None,
    BasicGood,
    BasicUpperPassword,
    BasicUpperUser,
    BasicOneChar,
    BasicNoColon,
    BasicThenDigest,  // both headers, Basic first
    DigestThenBasic,  // both headers, Digest first
    DigestGood,       // with the nonce last issued on the connection
    DigestWrongPassword,
    DigestForeignNonce,  // correct digest over a nonce never issued here
};

enum class Request { Describe, SetupNew, SetupInSession, Play, Options };

enum class Answer { OK, BasicChallenge, DigestChallenge, Plain401 };

struct Step {
    Request request;
    Cred cred;
    Answer answer;
};

struct Case {
    const char* name;
    int authType;        // 0 Basic, else Digest; -1: no account table
    const char* realm;   // null: the default realm
    bool refuseClient;
    bool refuseUser;
    const char* uncheckedMethod;
    std::vector<Step> steps;
};

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "s3cret";

std::string basicHeader(std::string const& text) {
    std::string token =
        base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return "Authorization: Basic " + token + "\r\n";
}

std::string digestHeader(std::string const& password, std::string const& realm,
                         std::string const& nonce, std::string const& method,
                         std::string const& uri) {
    Authenticator auth;
    auth.setRealmAndNonce(realm, nonce);
    auth.setUsernameAndPassword(kUser, password);
    return std::string("Authorization: Digest username=\"") + kUser + "\", realm=\"" + realm +
           "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", response=\"" +
           auth.computeDigestResponse(method, uri) + "\"\r\n";
}

// The nonce of a Digest challenge ("" when none).
std::string nonceOf(std::string const& response) {
    std::string value = headerValue(response, "WWW-Authenticate");
    size_t start = value.find("nonce=\"");
    if (start == std::string::npos) return "";
    start += 7;
    return value.substr(start, value.find('"', start) - start);
}

class Runner {
public:
    explicit Runner(Case const& c) : fCase(c) {
        if (c.authType >= 0) {
            fDB.reset(UserAuthenticationDatabase::createNew(c.authType, c.realm));
            fDB->addUserRecord(kUser, kPassword);
        }
        fServer = std::make_unique<TestServer>(fDB.get());
        fServer->addSession("cam", 2);
        fServer->server().refuseClient = c.refuseClient;
        fServer->server().refuseUser = c.refuseUser;
        if (c.uncheckedMethod != nullptr) fServer->server().uncheckedMethod = c.uncheckedMethod;
        fRealm = fDB ? fDB->realm() : "";
        fClient = std::make_unique<TestClient>(*fServer);
    }

    void run() {
        int index = 0;
        for (Step const& step : fCase.steps) {
            SCOPED_TRACE(std::string(fCase.name) + ", step " + std::to_string(index++));
            check(step, send(step));
        }
    }

    TestServer& server() { return *fServer; }

private:
    std::string credentials(Cred cred, std::string const& method, std::string const& uri) {
        std::string good = std::string(kUser) + ":" + kPassword;
        std::string digestRealm = fRealm.empty() ? "realm" : fRealm;
        std::string nonce = fNonce.empty() ? "0123456789abcdef0123456789abcdef" : fNonce;
        switch (cred) {
        case Cred::None: return "";
        case Cred::BasicGood: return basicHeader(good);
        case Cred::BasicUpperPassword: return basicHeader("alice:S3CRET");
        case Cred::BasicUpperUser: return basicHeader("Alice:s3cret");
        case Cred::BasicOneChar: return "Authorization: Basic Y\r\n";
        case Cred::BasicNoColon: return basicHeader("alices3cret");
        case Cred::BasicThenDigest:
            return basicHeader(good) + digestHeader("wrong", digestRealm, nonce, method, uri);
        case Cred::DigestThenBasic:
            return digestHeader("wrong", digestRealm, nonce, method, uri) + basicHeader(good);
        case Cred::DigestGood: return digestHeader(kPassword, digestRealm, nonce, method, uri);
        case Cred::DigestWrongPassword: return digestHeader("wrong", digestRealm, nonce, method, uri);
        case Cred::DigestForeignNonce:
            return digestHeader(kPassword, digestRealm, "feedfacefeedfacefeedfacefeedface", method,
                                uri);
        }
        return "";
    }

    std::string send(Step const& step) {
        std::string method, uri, extra;
        switch (step.request) {
        case Request::Describe:
            method = "DESCRIBE";
            uri = fServer->url("cam");
            break;
        case Request::SetupNew:
            method = "SETUP";
            uri = fServer->url("cam/track1");
            extra = "Transport: RTP/AVP/TCP;unicast\r\n";
            break;
        case Request::SetupInSession:
            method = "SETUP";
            uri = fServer->url("cam/track2");
            extra = "Transport: RTP/AVP/TCP;unicast\r\nSession: " + fSession + "\r\n";
            break;
        case Request::Play:
            method = "PLAY";
            uri = fServer->url("cam");
            extra = "Session: " + fSession + "\r\n";
            break;
        case Request::Options:
            method = "OPTIONS";
            uri = "*";
            break;
        }
        std::string response = fClient->request(method, uri, extra + credentials(step.cred, method, uri));
        if (step.request == Request::SetupNew && statusLine(response) == "RTSP/1.0 200 OK") {
            fSession = sessionIdOf(response);
        }
        if (step.request == Request::Play) fClient->readBytes(8, 200);  // the first '$' frame
        return response;
    }

    void check(Step const& step, std::string const& response) {
        std::string challenge = headerValue(response, "WWW-Authenticate");
        switch (step.answer) {
        case Answer::OK:
            EXPECT_EQ(statusLine(response), "RTSP/1.0 200 OK") << response;
            break;
        case Answer::Plain401:
            EXPECT_EQ(statusLine(response), "RTSP/1.0 401 Unauthorized");
            EXPECT_EQ(challenge, "");
            EXPECT_EQ(response.substr(response.find("\r\nDate: ") + 2).find("\r\n\r\n") + 4,
                      response.size() - response.find("\r\nDate: ") - 2);
            break;
        case Answer::BasicChallenge:
            EXPECT_EQ(statusLine(response), "RTSP/1.0 401 Unauthorized");
            EXPECT_EQ(challenge, "Basic realm=\"" + fRealm + "\"");
            break;
        case Answer::DigestChallenge: {
            EXPECT_EQ(statusLine(response), "RTSP/1.0 401 Unauthorized");
            std::string nonce = nonceOf(response);
            EXPECT_EQ(challenge, "Digest realm=\"" + fRealm + "\", nonce=\"" + nonce + "\"");
            EXPECT_EQ(nonce.size(), 32u);
            EXPECT_NE(nonce, fNonce);  // every refusal issues a fresh nonce
            fNonce = nonce;
            break;
        }
        }
        if (statusLine(response) != "RTSP/1.0 200 OK") {
            EXPECT_EQ(headerValue(response, "Session"), "");
        }
    }

    Case const& fCase;
    std::unique_ptr<UserAuthenticationDatabase> fDB;
    std::unique_ptr<TestServer> fServer;
    std::unique_ptr<TestClient> fClient;
    std::string fRealm;
    std::string fNonce;
    std::string fSession;
};

using R = Request;
using C = Cred;
using A = Answer;

const Case kCases[] = {
    {"no table admits everything", -1, nullptr, false, false, nullptr,
     {{R::Describe, C::None, A::OK}, {R::SetupNew, C::None, A::OK}}},
    {"basic: no credentials", 0, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::None, A::BasicChallenge}, {R::SetupNew, C::None, A::BasicChallenge}}},
    {"basic: default realm", 0, nullptr, false, false, nullptr,
     {{R::Describe, C::None, A::BasicChallenge}}},
    {"basic: only DESCRIBE and a session-creating SETUP are checked", 0, "Cam Realm", false,
     false, nullptr,
     {{R::Options, C::None, A::OK},
      {R::Describe, C::BasicGood, A::OK},
      {R::SetupNew, C::None, A::BasicChallenge},
      {R::SetupNew, C::BasicGood, A::OK},
      {R::SetupInSession, C::None, A::OK},
      {R::Play, C::None, A::OK}}},
    {"basic: letter case counts", 0, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::BasicUpperPassword, A::BasicChallenge},
      {R::Describe, C::BasicUpperUser, A::BasicChallenge}}},
    {"basic: short token and no colon", 0, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::BasicOneChar, A::BasicChallenge},
      {R::Describe, C::BasicNoColon, A::BasicChallenge}}},
    {"basic: digest credentials refused", 0, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::DigestGood, A::BasicChallenge}}},
    {"basic: the first header decides", 0, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::BasicThenDigest, A::OK},
      {R::Describe, C::DigestThenBasic, A::BasicChallenge}}},
    {"digest: challenge, then the right answer", 1, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::None, A::DigestChallenge},
      {R::Describe, C::DigestGood, A::OK},
      {R::SetupNew, C::DigestGood, A::OK},
      {R::SetupInSession, C::None, A::OK},
      {R::Play, C::None, A::OK}}},
    {"digest: basic credentials get a new nonce", 1, nullptr, false, false, nullptr,
     {{R::Describe, C::None, A::DigestChallenge},
      {R::Describe, C::BasicGood, A::DigestChallenge},
      {R::Describe, C::DigestGood, A::OK}}},
    {"digest: a nonce not issued on this connection", 1, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::DigestForeignNonce, A::DigestChallenge}}},
    {"digest: wrong password", 1, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::None, A::DigestChallenge},
      {R::Describe, C::DigestWrongPassword, A::DigestChallenge}}},
    {"digest: the first header decides", 1, "Cam Realm", false, false, nullptr,
     {{R::Describe, C::None, A::DigestChallenge},
      {R::Describe, C::BasicThenDigest, A::DigestChallenge}}},
    {"client hook refuses before any credentials", -1, nullptr, true, false, nullptr,
     {{R::Describe, C::None, A::Plain401}, {R::SetupNew, C::None, A::Plain401},
      {R::Options, C::None, A::OK}}},
    {"user hook refuses after a good digest", 1, "Cam Realm", false, true, nullptr,
     {{R::Describe, C::None, A::DigestChallenge}, {R::Describe, C::DigestGood, A::Plain401}}},
    {"user hook is not asked in basic mode", 0, "Cam Realm", false, true, nullptr,
     {{R::Describe, C::BasicGood, A::OK}}},
    {"no table for one method", 0, "Cam Realm", false, false, "DESCRIBE",
     {{R::Describe, C::None, A::OK}, {R::SetupNew, C::None, A::BasicChallenge}}},
};

TEST(RTSPAuthentication, AccessCheckTable) {
    for (Case const& c : kCases) {
        Runner runner(c);
        runner.run();
        // A refused request creates no client session.
        bool anySetupPassed = false;
        for (Step const& step : c.steps) {
            anySetupPassed |= step.request == R::SetupNew && step.answer == A::OK;
        }
        if (!anySetupPassed) {
            EXPECT_EQ(runner.server().server().numClientSessions(), 0u) << c.name;
        }
    }
}

TEST(RTSPAuthentication, UserHookSeesTheDigestUser) {
    Case c{"user hook", 1, "Cam Realm", false, false, nullptr,
           {{R::Describe, C::None, A::DigestChallenge}, {R::Describe, C::DigestGood, A::OK}}};
    Runner runner(c);
    runner.run();
    EXPECT_EQ(runner.server().server().lastCheckedUser, kUser);
}

}  // namespace
