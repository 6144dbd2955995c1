// Request bytes from a client: framing, parsing, Transport, credentials and
// the access check in both modes, with the invariants the server relies on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtsp/AccessCheck.h"
#include "rtsp/Authenticator.h"
#include "rtsp/Credentials.h"
#include "rtsp/RTSPRequest.h"
#include "rtsp/TransportHeader.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void checkFraming(const char* data, size_t size) {
    int length = rtspRequestLength(data, size);
    require(length >= -1);
    require(static_cast<size_t>(length < 0 ? 0 : length) <= size);
    require(length <= static_cast<int>(kMaxRequestSize + kMaxContentLength));
    if (length == 0 && size > 0) {
        // Bytes that still may become a request never fail on a prefix.
        require(rtspRequestLength(data, size / 2) == 0);
    }
    if (length > 0) {
        require(rtspRequestLength(data, static_cast<size_t>(length)) == length);
        require(rtspRequestLength(data, static_cast<size_t>(length) - 1) == 0);
    }
    // The head alone: never stricter than the whole request.
    int head = rtspHeadLength(data, size);
    require(head != -1 || length == -1);
    if (length > 0) require(head > 0 && head <= length);
    RTSPRequest request;
    if (head > 0 && parseRTSPRequestHead(data, static_cast<size_t>(head), request)) {
        require(request.body.empty() && request.text.size() == static_cast<size_t>(head));
    }
}

void checkRequest(const char* data, size_t size) {
    RTSPRequest request;
    if (!parseRTSPRequest(data, size, request)) return;
    std::string_view whole(data, size);
    require(request.text.size() == static_cast<size_t>(rtspRequestLength(data, size)));
    require(inside(request.text, whole) && inside(request.url, request.text));
    require(inside(request.urlSuffix, request.url) && inside(request.urlPreSuffix, request.url));
    require(inside(request.body, request.text) && request.body.size() == request.contentLength);
    require(request.headerCount <= kMaxHeaderCount);
    TransportSpec transport;
    parseTransportHeader(request.header("Transport"), transport);
}

void checkCredentials(std::string_view text) {
    CredentialsMatch match = findCredentials(text);
    if (match.kind == CredentialsKind::Basic) {
        BasicCredentials basic;
        if (decodeBasicCredentials(match.rest, basic)) {
            require(basic.username.size() <= kMaxBasicFieldLength);
            require(basic.password.size() <= kMaxBasicFieldLength);
        }
    } else if (match.kind == CredentialsKind::Digest) {
        DigestCredentials digest;
        if (parseDigestCredentials(match.rest, digest)) require(digest.response.size() <= kMaxDigestValueLength);
    }
}

void checkAccess(std::string_view text) {
    static UserAuthenticationDatabase* basic = [] {
        auto* db = UserAuthenticationDatabase::createNew(0, nullptr);
        db->addUserRecord("admin", "Secret1");
        return db;
    }();
    static UserAuthenticationDatabase* digest = [] {
        auto* db = UserAuthenticationDatabase::createNew(1, "Realm");
        db->addUserRecord("admin", "Secret1");
        return db;
    }();
    Authenticator authenticator;
    AccessCheckOutcome outcome = checkClientAccess(basic, authenticator, "DESCRIBE", "rtsp://h/s", text, "1");
    require(outcome.result != AccessResult::AllowIfUserPasses);
    require(!authenticator.hasNonce());
    authenticator.setRealmAndNonce("Realm", "00112233445566778899aabbccddeeff");
    outcome = checkClientAccess(digest, authenticator, "DESCRIBE", "rtsp://h/s", text, "1");
    require(outcome.result != AccessResult::Allow);
    require((outcome.result == AccessResult::Deny) == !outcome.response.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const char* data = reinterpret_cast<const char*>(bytes);
    checkFraming(data, size);
    checkRequest(data, size);
    TransportSpec transport;
    parseTransportHeader(std::string_view(data, size), transport);
    checkCredentials(std::string_view(data, size));
    checkAccess(std::string_view(data, size));
    return 0;
}
