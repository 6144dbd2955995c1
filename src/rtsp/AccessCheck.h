// The credentials part of the access check of DESCRIBE and of a SETUP that
// creates a session: no table -> allow; Basic or Digest by the table's mode.
#pragma once

#include <string>
#include <string_view>

class Authenticator;
class UserAuthenticationDatabase;

enum class AccessResult {
    Allow,             // go on with the request
    Deny,              // `response` holds the complete 401 answer
    AllowIfUserPasses  // Digest passed: ask the user hook about `userName`
};

struct AccessCheckOutcome {
    AccessResult result = AccessResult::Deny;
    std::string response;  // filled on Deny
    std::string userName;  // filled on AllowIfUserPasses
};

// db may be null (allow). `authenticator` is the connection's Digest state;
// Basic mode neither reads nor writes it. `url` is the request URL as sent,
// which the Digest "uri" must name (same text or same absolute path).
// `requestText` is the full request; `cseq` is echoed in the answer.
// Credentials are never logged. Throws nothing: when memory runs out the
// result is Deny, and `response` may then be empty (close the connection).
AccessCheckOutcome checkClientAccess(const UserAuthenticationDatabase* db,
                                     Authenticator& authenticator,
                                     std::string_view method, std::string_view url,
                                     std::string_view requestText, std::string_view cseq);

// "RTSP/1.0 401 Unauthorized\r\nCSeq: %s\r\n<Date line>\r\n": the answer when a
// server hook refuses (no challenge).
std::string plainUnauthorizedResponse(std::string_view cseq);
// The challenges of a failed Basic or Digest check.
std::string basicChallengeResponse(std::string_view cseq, std::string_view realm);
std::string digestChallengeResponse(std::string_view cseq, std::string_view realm,
                                    std::string_view nonce);
