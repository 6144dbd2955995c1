#include "rtsp/AccessCheck.h"

#include "rtsp/Authenticator.h"
#include "rtsp/ConstantTime.h"
#include "rtsp/Credentials.h"
#include "rtsp/RTSPDate.h"
#include "rtsp/UserAuthenticationDatabase.h"

#include <openssl/crypto.h>

#include <new>

namespace {

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
}

std::string unauthorizedHead(std::string_view cseq) {
    std::string text = "RTSP/1.0 401 Unauthorized\r\nCSeq: ";
    text.append(cseq);
    text += "\r\n";
    text += rtspDateHeader();
    return text;
}

bool basicCredentialsPass(const UserAuthenticationDatabase& db, std::string_view requestText) {
    CredentialsMatch match = findCredentials(requestText);
    if (match.kind != CredentialsKind::Basic) return false;  // none, or Digest first
    BasicCredentials given;
    if (!decodeBasicCredentials(match.rest, given)) return false;
    bool pass = false;
    std::string stored;
    if (!given.password.empty() && db.lookupPassword(given.username.c_str(), stored)) {
        pass = constantTimeEquals(given.password, stored);
    }
    wipe(stored);
    wipe(given.password);
    return pass;
}

// The absolute path of a URL ("rtsp://h:554/a/b" and "/a/b" both give "/a/b").
std::string_view pathOf(std::string_view url) {
    size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return url;
    size_t slash = url.find('/', scheme + 3);
    return slash == std::string_view::npos ? std::string_view("/") : url.substr(slash);
}

// The Digest "uri" must name the resource of the request line (RFC 2617
// 3.2.2.5), either as the same text or as the same absolute path.
bool uriNamesRequest(std::string_view uri, std::string_view requestURL) {
    return uri == requestURL || pathOf(uri) == pathOf(requestURL);
}

bool digestCredentialsPass(const UserAuthenticationDatabase& db, Authenticator& authenticator,
                           std::string_view method, std::string_view url,
                           std::string_view requestText, std::string& userName) {
    if (!authenticator.hasNonce()) return false;
    CredentialsMatch match = findCredentials(requestText);
    if (match.kind != CredentialsKind::Digest) return false;  // none, or Basic first
    DigestCredentials given;
    if (!parseDigestCredentials(match.rest, given)) return false;
    if (given.realm != authenticator.realm() || given.nonce != authenticator.nonce()) return false;
    if (!uriNamesRequest(given.uri, url)) return false;
    std::string stored;
    if (!db.lookupPassword(given.username.c_str(), stored)) return false;
    authenticator.setUsernameAndPassword(given.username, stored);
    wipe(stored);
    if (!constantTimeEquals(given.response, authenticator.computeDigestResponse(method, given.uri))) {
        return false;
    }
    userName = given.username;
    return true;
}

}  // namespace

std::string plainUnauthorizedResponse(std::string_view cseq) { return unauthorizedHead(cseq) + "\r\n"; }

std::string basicChallengeResponse(std::string_view cseq, std::string_view realm) {
    std::string text = unauthorizedHead(cseq);
    text += "WWW-Authenticate: Basic realm=\"";
    text.append(realm);
    text += "\"\r\n\r\n";
    return text;
}

std::string digestChallengeResponse(std::string_view cseq, std::string_view realm, std::string_view nonce) {
    std::string text = unauthorizedHead(cseq);
    text += "WWW-Authenticate: Digest realm=\"";
    text.append(realm);
    text += "\", nonce=\"";
    text.append(nonce);
    text += "\"\r\n\r\n";
    return text;
}

namespace {

void runAccessCheck(const UserAuthenticationDatabase* db, Authenticator& authenticator, std::string_view method,
                    std::string_view url, std::string_view requestText, std::string_view cseq,
                    AccessCheckOutcome& outcome) {
    if (db == nullptr) {
        outcome.result = AccessResult::Allow;
    } else if (db->usesBasic()) {
        if (basicCredentialsPass(*db, requestText)) {
            outcome.result = AccessResult::Allow;
        } else {
            outcome.response = basicChallengeResponse(cseq, db->realm());
        }
    } else if (digestCredentialsPass(*db, authenticator, method, url, requestText, outcome.userName)) {
        outcome.result = AccessResult::AllowIfUserPasses;
    } else {
        authenticator.setRealmAndRandomNonce(db->realm());
        outcome.response = digestChallengeResponse(cseq, authenticator.realm(), authenticator.nonce());
    }
}

}  // namespace

AccessCheckOutcome checkClientAccess(const UserAuthenticationDatabase* db, Authenticator& authenticator,
                                     std::string_view method, std::string_view url,
                                     std::string_view requestText, std::string_view cseq) {
    AccessCheckOutcome outcome;
    try {
        runAccessCheck(db, authenticator, method, url, requestText, cseq, outcome);
    } catch (const std::bad_alloc&) {
        // Out of memory while copying credentials: refuse, with whatever
        // answer could still be built.
        outcome.result = AccessResult::Deny;
        outcome.userName.clear();
    }
    return outcome;
}
