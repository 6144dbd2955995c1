#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AuthTestSupport.h"
#include "rtsp/AccessCheck.h"
#include "rtsp/Authenticator.h"
#include "rtsp/ConstantTime.h"
#include "rtsp/RTSPDate.h"
#include "rtsp/UserAuthenticationDatabase.h"

using namespace authtest;

namespace {

const std::string kRealm = "TestRealm";
const std::string kNonce = "0123456789abcdef0123456789abcdef";
const std::string kURL = "rtsp://127.0.0.1:8554/live";
const std::string kLong35(35, 'u');
const std::string kLong36(36, 'u');

std::string describe(const std::string& headers) {
    return "DESCRIBE " + kURL + " RTSP/1.0\r\nCSeq: 3\r\n" + headers + "Accept: application/sdp\r\n\r\n";
}

std::string goodDigest() { return digestHeader("admin", kRealm, "Secret1", kNonce, "DESCRIBE", kURL); }

enum class Mode { Basic, Digest };

struct AuthCase {
    const char* name;
    Mode mode;
    bool nonceIssued;  // Digest: the connection received kNonce before
    std::string headers;
    AccessResult expected;
};

std::vector<AuthCase> authCases() {
    const std::string over127 = "Authorization: Basic " + std::string(128, 'Q') + "\r\n";
    return {
        {"basic: no header", Mode::Basic, false, "", AccessResult::Deny},
        {"basic: correct", Mode::Basic, false, basicHeader("admin:Secret1"), AccessResult::Allow},
        {"basic: prefix in other letter case", Mode::Basic, false,
         "aUTHORIZATION: bASIC " + basicHeader("admin:Secret1").substr(21), AccessResult::Allow},
        {"basic: password in other case", Mode::Basic, false, basicHeader("admin:secret1"), AccessResult::Deny},
        {"basic: user in other case", Mode::Basic, false, basicHeader("Admin:Secret1"), AccessResult::Deny},
        {"basic: wrong password", Mode::Basic, false, basicHeader("admin:Secret2"), AccessResult::Deny},
        {"basic: password prefix", Mode::Basic, false, basicHeader("admin:Secret"), AccessResult::Deny},
        {"basic: unknown user", Mode::Basic, false, basicHeader("nobody:Secret1"), AccessResult::Deny},
        {"basic: one-character token", Mode::Basic, false, "Authorization: Basic Y\r\n", AccessResult::Deny},
        {"basic: no colon", Mode::Basic, false, basicHeader("admin"), AccessResult::Deny},
        {"basic: empty password", Mode::Basic, false, basicHeader("admin:"), AccessResult::Deny},
        {"basic: not Base64", Mode::Basic, false, "Authorization: Basic !!!!\r\n", AccessResult::Deny},
        {"basic: token over 127", Mode::Basic, false, over127, AccessResult::Deny},
        {"basic: 35-byte user and password", Mode::Basic, false, basicHeader(kLong35 + ":" + kLong35),
         AccessResult::Allow},
        {"basic: 36-byte user", Mode::Basic, false, basicHeader(kLong36 + ":pw"), AccessResult::Deny},
        {"basic: 36-byte password", Mode::Basic, false, basicHeader("long:" + kLong36), AccessResult::Deny},
        {"basic: password holding ':'", Mode::Basic, false, basicHeader("colon:a:b"), AccessResult::Allow},
        {"basic: digest header of known user", Mode::Basic, true, goodDigest(), AccessResult::Deny},
        {"basic: basic first, digest second", Mode::Basic, true, basicHeader("admin:Secret1") + goodDigest(),
         AccessResult::Allow},
        {"basic: digest first, basic second", Mode::Basic, true, goodDigest() + basicHeader("admin:Secret1"),
         AccessResult::Deny},
        {"basic: repeated, wrong first", Mode::Basic, false,
         basicHeader("admin:bad") + basicHeader("admin:Secret1"), AccessResult::Deny},
        {"basic: repeated, right first", Mode::Basic, false,
         basicHeader("admin:Secret1") + basicHeader("admin:bad"), AccessResult::Allow},

        {"digest: no header", Mode::Digest, true, "", AccessResult::Deny},
        {"digest: correct", Mode::Digest, true, goodDigest(), AccessResult::AllowIfUserPasses},
        {"digest: correct but no nonce issued", Mode::Digest, false, goodDigest(), AccessResult::Deny},
        {"digest: prefix in other letter case", Mode::Digest, true,
         "authorization: digest " + goodDigest().substr(22), AccessResult::AllowIfUserPasses},
        {"digest: basic credentials", Mode::Digest, true, basicHeader("admin:Secret1"), AccessResult::Deny},
        {"digest: wrong password", Mode::Digest, true,
         digestHeader("admin", kRealm, "secret1", kNonce, "DESCRIBE", kURL), AccessResult::Deny},
        {"digest: user in other case", Mode::Digest, true,
         digestHeader("ADMIN", kRealm, "Secret1", kNonce, "DESCRIBE", kURL), AccessResult::Deny},
        {"digest: unknown user", Mode::Digest, true,
         digestHeader("nobody", kRealm, "Secret1", kNonce, "DESCRIBE", kURL), AccessResult::Deny},
        {"digest: stale nonce", Mode::Digest, true,
         digestHeader("admin", kRealm, "Secret1", "ffffffffffffffffffffffffffffffff", "DESCRIBE", kURL),
         AccessResult::Deny},
        {"digest: other realm", Mode::Digest, true,
         digestHeader("admin", "Other", "Secret1", kNonce, "DESCRIBE", kURL), AccessResult::Deny},
        {"digest: made for another method", Mode::Digest, true,
         digestHeader("admin", kRealm, "Secret1", kNonce, "SETUP", kURL), AccessResult::Deny},
        {"digest: uri of another resource", Mode::Digest, true,
         digestHeader("admin", kRealm, "Secret1", kNonce, "DESCRIBE", "rtsp://127.0.0.1:8554/other"),
         AccessResult::Deny},
        {"digest: uri as absolute path", Mode::Digest, true,
         digestHeader("admin", kRealm, "Secret1", kNonce, "DESCRIBE", "/live"), AccessResult::AllowIfUserPasses},
        {"digest: unterminated quote", Mode::Digest, true,
         "Authorization: Digest username=\"admin\", realm=\"" + kRealm + "\", nonce=\"" + kNonce + "\", uri=\"" +
             kURL + "\", response=\"" + digestResponse("admin", kRealm, "Secret1", kNonce, "DESCRIBE", kURL) +
             "\r\nX: \"\r\n",
         AccessResult::Deny},
        {"digest: missing response", Mode::Digest, true,
         "Authorization: Digest username=\"admin\", realm=\"" + kRealm + "\", nonce=\"" + kNonce + "\", uri=\"" +
             kURL + "\"\r\n",
         AccessResult::Deny},
        {"digest: basic first, digest second", Mode::Digest, true, basicHeader("admin:Secret1") + goodDigest(),
         AccessResult::Deny},
        {"digest: digest first, basic second", Mode::Digest, true, goodDigest() + basicHeader("admin:Secret1"),
         AccessResult::AllowIfUserPasses},
        {"digest: repeated, wrong first", Mode::Digest, true,
         digestHeader("admin", kRealm, "bad", kNonce, "DESCRIBE", kURL) + goodDigest(), AccessResult::Deny},
    };
}

std::unique_ptr<UserAuthenticationDatabase> makeTable(Mode mode, const char* realm) {
    std::unique_ptr<UserAuthenticationDatabase> db(
        UserAuthenticationDatabase::createNew(mode == Mode::Basic ? 0 : 1, realm));
    db->addUserRecord("admin", "Secret1");
    db->addUserRecord(kLong35.c_str(), kLong35.c_str());
    db->addUserRecord(kLong36.c_str(), "pw");
    db->addUserRecord("long", kLong36.c_str());
    db->addUserRecord("colon", "a:b");
    return db;
}

// Pattern letters: 'A' upper case, 'a' lower case, '9' digit, 'x' lower-case
// hex digit; anything else stands for itself.
bool matchesPattern(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (pattern[i]) {
        case 'A': if (c < 'A' || c > 'Z') return false; break;
        case 'a': if (c < 'a' || c > 'z') return false; break;
        case '9': if (c < '0' || c > '9') return false; break;
        case 'x': if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false; break;
        default: if (c != pattern[i]) return false;
        }
    }
    return true;
}

const std::string kDatePattern = "Date: Aaa, Aaa 99 9999 99:99:99 GMT\r\n";
const std::string kNoncePattern(32, 'x');

// The whole 401 answer: status, CSeq, Date line, then `tail`.
void expectUnauthorized(const std::string& response, const std::string& cseq, const std::string& tail,
                        const char* name) {
    const std::string head = "RTSP/1.0 401 Unauthorized\r\nCSeq: " + cseq + "\r\n";
    ASSERT_GE(response.size(), head.size() + kDatePattern.size()) << name << "\n" << response;
    EXPECT_EQ(response.substr(0, head.size()), head) << name;
    EXPECT_TRUE(matchesPattern(response.substr(head.size(), kDatePattern.size()), kDatePattern)) << name;
    EXPECT_EQ(response.substr(head.size() + kDatePattern.size()), tail) << name;
}

// The challenge must be the complete 401 answer, realm included.
void expectChallenge(const std::string& response, Mode mode, const std::string& realm,
                     const std::string& nonce, const char* name) {
    const std::string tail = mode == Mode::Basic
                                 ? "WWW-Authenticate: Basic realm=\"" + realm + "\"\r\n\r\n"
                                 : "WWW-Authenticate: Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\"\r\n\r\n";
    expectUnauthorized(response, "3", tail, name);
}

TEST(AccessCheck, CredentialsTable) {
    for (const AuthCase& c : authCases()) {
        auto db = makeTable(c.mode, kRealm.c_str());
        Authenticator authenticator;
        if (c.nonceIssued) authenticator.setRealmAndNonce(kRealm, kNonce);
        std::string request = describe(c.headers);
        AccessCheckOutcome outcome = checkClientAccess(db.get(), authenticator, "DESCRIBE", kURL, request, "3");
        EXPECT_EQ(outcome.result, c.expected) << c.name;
        if (outcome.result == AccessResult::AllowIfUserPasses) {
            EXPECT_EQ(outcome.userName, "admin") << c.name;
        }
        if (c.mode == Mode::Basic) {
            // Basic mode keeps no per-connection state.
            EXPECT_EQ(authenticator.nonce(), c.nonceIssued ? kNonce : "") << c.name;
        }
        if (outcome.result != AccessResult::Deny) {
            EXPECT_TRUE(outcome.response.empty()) << c.name;
            continue;
        }
        if (c.mode == Mode::Digest) {
            EXPECT_NE(authenticator.nonce(), kNonce) << c.name << ": a refusal issues a new nonce";
            EXPECT_EQ(authenticator.realm(), kRealm) << c.name;
        }
        expectChallenge(outcome.response, c.mode, kRealm, authenticator.nonce(), c.name);
    }
}

TEST(AccessCheck, NoTableAllowsEverything) {
    Authenticator authenticator;
    AccessCheckOutcome outcome = checkClientAccess(nullptr, authenticator, "DESCRIBE", kURL, describe(""), "3");
    EXPECT_EQ(outcome.result, AccessResult::Allow);
    EXPECT_TRUE(outcome.response.empty());
    EXPECT_FALSE(authenticator.hasNonce());
}

TEST(AccessCheck, DefaultRealmInBothChallenges) {
    for (Mode mode : {Mode::Basic, Mode::Digest}) {
        auto db = makeTable(mode, nullptr);
        EXPECT_STREQ(db->realm(), "LIVE555 Streaming Media");
        Authenticator authenticator;
        AccessCheckOutcome outcome = checkClientAccess(db.get(), authenticator, "DESCRIBE", kURL, describe(""), "3");
        ASSERT_EQ(outcome.result, AccessResult::Deny);
        expectChallenge(outcome.response, mode, "LIVE555 Streaming Media", authenticator.nonce(), "default");
    }
}

// The usual client exchange: refused, then answered with the issued nonce;
// the nonce stays valid on the connection for the following SETUP.
TEST(AccessCheck, DigestChallengeThenSuccessOnTheSameConnection) {
    auto db = makeTable(Mode::Digest, kRealm.c_str());
    Authenticator authenticator;
    AccessCheckOutcome first = checkClientAccess(db.get(), authenticator, "DESCRIBE", kURL, describe(""), "3");
    ASSERT_EQ(first.result, AccessResult::Deny);
    const std::string nonce = authenticator.nonce();
    EXPECT_TRUE(matchesPattern(nonce, kNoncePattern));
    std::string header = digestHeader("admin", kRealm, "Secret1", nonce, "DESCRIBE", kURL);
    EXPECT_EQ(checkClientAccess(db.get(), authenticator, "DESCRIBE", kURL, describe(header), "4").result,
              AccessResult::AllowIfUserPasses);
    const std::string track = kURL + "/track1";
    std::string setup = "SETUP " + track + " RTSP/1.0\r\nCSeq: 5\r\n" +
                        digestHeader("admin", kRealm, "Secret1", nonce, "SETUP", track) + "\r\n";
    EXPECT_EQ(checkClientAccess(db.get(), authenticator, "SETUP", track, setup, "5").result,
              AccessResult::AllowIfUserPasses);
    EXPECT_EQ(authenticator.nonce(), nonce);
}

TEST(AccessCheck, AddUserReplacesThePasswordAndDelUserOfUnknownChangesNothing) {
    for (Mode mode : {Mode::Basic, Mode::Digest}) {
        auto db = makeTable(mode, kRealm.c_str());
        auto passes = [&](const std::string& password) {
            Authenticator authenticator;
            authenticator.setRealmAndNonce(kRealm, kNonce);
            std::string header = mode == Mode::Basic
                                     ? basicHeader("admin:" + password)
                                     : digestHeader("admin", kRealm, password, kNonce, "DESCRIBE", kURL);
            return checkClientAccess(db.get(), authenticator, "DESCRIBE", kURL, describe(header), "3").result !=
                   AccessResult::Deny;
        };
        EXPECT_TRUE(passes("Secret1"));
        db->addUserRecord("admin", "NewPass");
        EXPECT_FALSE(passes("Secret1"));
        EXPECT_TRUE(passes("NewPass"));
        db->removeUserRecord("nobody");
        EXPECT_TRUE(passes("NewPass"));
        db->removeUserRecord("admin");
        EXPECT_FALSE(passes("NewPass"));
    }
}

TEST(UserAuthenticationDatabase, RecordsAndLookups) {
    std::unique_ptr<UserAuthenticationDatabase> db(UserAuthenticationDatabase::createNew(0, "R"));
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->authType(), 0);
    EXPECT_TRUE(db->usesBasic());
    EXPECT_FALSE(db->passwordsAreMD5());
    EXPECT_STREQ(db->realm(), "R");
    std::string password = "stale";
    EXPECT_FALSE(db->lookupPassword("u", password));
    EXPECT_TRUE(password.empty());
    EXPECT_TRUE(db->addUserRecord("u", "p1"));
    EXPECT_TRUE(db->lookupPassword("u", password));
    EXPECT_EQ(password, "p1");
    db->removeUserRecord("u");
    EXPECT_EQ(password, "p1");  // the copy outlives the record
    EXPECT_FALSE(db->lookupPassword("u", password));
    EXPECT_TRUE(db->replaceUserRecord("u", "p2"));
    EXPECT_TRUE(db->lookupPassword("u", password));
    EXPECT_EQ(password, "p2");
    EXPECT_FALSE(db->lookupPassword("U", password));
    EXPECT_FALSE(db->addUserRecord(nullptr, "p"));
    EXPECT_FALSE(db->addUserRecord("x", nullptr));
    EXPECT_FALSE(db->lookupPassword(nullptr, password));
    db->removeUserRecord(nullptr);

    std::unique_ptr<UserAuthenticationDatabase> digest(UserAuthenticationDatabase::createNew(7, ""));
    EXPECT_FALSE(digest->usesBasic());
    EXPECT_EQ(digest->authType(), 7);
    EXPECT_STREQ(digest->realm(), "");  // only null selects the default
}

TEST(Authenticator, DigestResponseMatchesIndependentMD5) {
    // RFC 2617 section 3.5 account, answered without qop.
    EXPECT_EQ(md5("Mufasa:testrealm@host.com:Circle Of Life"), "939e7578ed9e3c518a452acee763bce9");
    EXPECT_EQ(md5("GET:/dir/index.html"), "39aff3a2bab6126f332b942af96d3366");
    Authenticator authenticator;
    authenticator.setRealmAndNonce("testrealm@host.com", "dcd98b7102dd2f0e8b11d0f600bfb0c093");
    authenticator.setUsernameAndPassword("Mufasa", "Circle Of Life");
    EXPECT_EQ(authenticator.computeDigestResponse("GET", "/dir/index.html"),
              md5("939e7578ed9e3c518a452acee763bce9:dcd98b7102dd2f0e8b11d0f600bfb0c093:"
                  "39aff3a2bab6126f332b942af96d3366"));
    EXPECT_EQ(authenticator.computeDigestResponse("DESCRIBE", kURL),
              digestResponse("Mufasa", "testrealm@host.com", "Circle Of Life",
                             "dcd98b7102dd2f0e8b11d0f600bfb0c093", "DESCRIBE", kURL));
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Authenticator, RandomNoncesAreFreshHex) {
    Authenticator authenticator;
    EXPECT_FALSE(authenticator.hasNonce());
    authenticator.setRealmAndRandomNonce("R");
    const std::string first = authenticator.nonce();
    authenticator.setRealmAndRandomNonce("R");
    EXPECT_TRUE(matchesPattern(first, kNoncePattern));
    EXPECT_TRUE(matchesPattern(authenticator.nonce(), kNoncePattern));
    EXPECT_NE(first, authenticator.nonce());
    authenticator.reset();
    EXPECT_FALSE(authenticator.hasNonce());
    EXPECT_TRUE(authenticator.realm().empty());
}

TEST(ResponseTexts, PlainUnauthorizedAndDate) {
    expectUnauthorized(plainUnauthorizedResponse("9"), "9", "\r\n", "plain");
    EXPECT_EQ(rtspDateHeader(0), "Date: Thu, Jan 01 1970 00:00:00 GMT\r\n");
    EXPECT_EQ(rtspDateHeader(1700000000), "Date: Tue, Nov 14 2023 22:13:20 GMT\r\n");
    EXPECT_EQ(rtspDateHeader(951782400), "Date: Tue, Feb 29 2000 00:00:00 GMT\r\n");
}

TEST(ConstantTimeEquals, Table) {
    struct Case {
        const char* given;
        const char* expected;
        bool equal;
    };
    const Case cases[] = {
        {"", "", true},     {"a", "a", true},     {"Secret1", "Secret1", true}, {"Secret1", "secret1", false},
        {"Secret", "Secret1", false}, {"Secret12", "Secret1", false}, {"", "x", false}, {"x", "", false},
        {"abcabc", "abc", false},
    };
    for (const Case& c : cases) EXPECT_EQ(constantTimeEquals(c.given, c.expected), c.equal) << c.given;
}

}  // namespace
