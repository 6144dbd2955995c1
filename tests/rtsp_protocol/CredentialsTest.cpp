#include "rtsp/Credentials.h"

#include <gtest/gtest.h>

#include <string>

#include "AuthTestSupport.h"

using namespace authtest;

namespace {

TEST(FindCredentials, FirstMatchAtAnyPositionDecides) {
    struct Case {
        std::string text;
        CredentialsKind kind;
        const char* rest;
    };
    const Case cases[] = {
        {"DESCRIBE * RTSP/1.0\r\n\r\n", CredentialsKind::None, ""},
        {"Authorization: Basic abc", CredentialsKind::Basic, "abc"},
        {"AUTHORIZATION: basic abc", CredentialsKind::Basic, "abc"},
        {"Authorization: Digest x=1", CredentialsKind::Digest, "x=1"},
        {"Authorization: Basic a\r\nAuthorization: Digest b", CredentialsKind::Basic, "a\r\nAuthorization: Digest b"},
        {"Authorization: Digest b\r\nAuthorization: Basic a", CredentialsKind::Digest, "b\r\nAuthorization: Basic a"},
        {"X-Note: Authorization: Basic abc", CredentialsKind::Basic, "abc"},
        {"Authorization: Bearer abc", CredentialsKind::None, ""},
        {"Authorization:Basic abc", CredentialsKind::None, ""},
        {"Authorization: Basic", CredentialsKind::None, ""},  // prefix needs its blank
        {"Authorization: Basic ", CredentialsKind::Basic, ""},
    };
    for (const Case& c : cases) {
        CredentialsMatch match = findCredentials(c.text);
        EXPECT_EQ(match.kind, c.kind) << c.text;
        EXPECT_EQ(match.rest, c.rest) << c.text;
    }
}

std::string token(const std::string& text) { return basicHeader(text).substr(21); }

TEST(DecodeBasicCredentials, Table) {
    struct Case {
        std::string rest;
        bool ok;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {token("admin:Secret1"), true, "admin", "Secret1"},
        {token("admin:Secret1").substr(0, token("admin:Secret1").size() - 2) + "\tmore", true, "admin", "Secret1"},
        {token("admin"), true, "admin", ""},
        {token(":pw"), true, "", "pw"},
        {token("a:b:c"), true, "a", "b:c"},  // the password runs to the end
        {token(std::string(35, 'u') + ":" + std::string(35, 'p')), true, "uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu",
         "ppppppppppppppppppppppppppppppppppp"},
        {token(std::string(36, 'u') + ":p"), false, "", ""},
        {token("u:" + std::string(36, 'p')), false, "", ""},
        {token(std::string("a\0b:c", 5)), false, "", ""},
        {"Y", false, "", ""},
        {"", false, "", ""},
        {" YWRtaW46eA==", false, "", ""},  // a second blank: empty token
        {"YWRtaW46eA", false, "", ""},     // unpadded
        {"YWRt!W46eA==", false, "", ""},
        {std::string(128, 'Q'), false, "", ""},
        {std::string(124, 'Q') + "====", false, "", ""},
    };
    for (const Case& c : cases) {
        BasicCredentials credentials;
        bool ok = decodeBasicCredentials(c.rest + "\r\nNext: x", credentials);
        EXPECT_EQ(ok, c.ok) << c.rest;
        if (!ok) continue;
        EXPECT_EQ(credentials.username, c.user) << c.rest;
        EXPECT_EQ(credentials.password, c.password) << c.rest;
    }
}

TEST(ParseDigestCredentials, Table) {
    const std::string all = "username=\"u\", realm=\"r\", nonce=\"n\", uri=\"rtsp://h/s\", response=\"x\"";
    struct Case {
        std::string rest;
        bool ok;
        const char* username;
        const char* uri;
    };
    const Case cases[] = {
        {all, true, "u", "rtsp://h/s"},
        {all + "\r\nCSeq: 3\r\n", true, "u", "rtsp://h/s"},
        {"response=\"x\",uri=\"/s\" ,nonce=n realm=r,username=u", true, "u", "/s"},
        {"username=\"a \\\"q\\\" b\", realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"x\"", true, "a \"q\" b", "/s"},
        {"algorithm=MD5, " + all + ", opaque=\"o\", stale", true, "u", "rtsp://h/s"},
        {"username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/s\"", false, "", ""},
        {"username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"", false, "", ""},
        {"username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"x\r\n\"", false, "", ""},
        {"username=\"u\"\r\n, realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"x\"", false, "", ""},
        {all + ", username=\"v\"", false, "", ""},
        {"username=\"\", realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"x\"", false, "", ""},
        {"username=\"" + std::string(kMaxDigestValueLength, 'u') + "\", realm=\"r\", nonce=\"n\", uri=\"/s\", "
         "response=\"x\"", true, "", "/s"},
        {"username=\"" + std::string(kMaxDigestValueLength + 1, 'u') + "\", realm=\"r\", nonce=\"n\", uri=\"/s\", "
         "response=\"x\"", false, "", ""},
        {"username=" + std::string(kMaxDigestValueLength + 1, 'u') + ", realm=r, nonce=n, uri=/s, response=x",
         false, "", ""},
        {std::string("username=\"u\x01\", realm=\"r\", nonce=\"n\", uri=\"/s\", response=\"x\""), false, "", ""},
        {"", false, "", ""},
        {"\"\"\"", false, "", ""},
    };
    for (const Case& c : cases) {
        DigestCredentials credentials;
        bool ok = parseDigestCredentials(c.rest, credentials);
        EXPECT_EQ(ok, c.ok) << c.rest;
        if (!ok || *c.username == '\0') continue;
        EXPECT_EQ(credentials.username, c.username) << c.rest;
        EXPECT_EQ(credentials.uri, c.uri) << c.rest;
        EXPECT_EQ(credentials.realm, "r") << c.rest;
        EXPECT_EQ(credentials.nonce, "n") << c.rest;
        EXPECT_EQ(credentials.response, "x") << c.rest;
    }
}

}  // namespace
