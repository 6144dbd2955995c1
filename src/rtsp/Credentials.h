// Finding and reading the credentials of a request ("Authorization:" header).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class CredentialsKind { None, Basic, Digest };

struct CredentialsMatch {
    CredentialsKind kind = CredentialsKind::None;
    // Text after the matched prefix, to the end of the request text.
    std::string_view rest;
};

// Scans the request text from its first character; at each position compares
// (letter case ignored) "Authorization: Digest " and then
// "Authorization: Basic ". The first position where either matches decides.
CredentialsMatch findCredentials(std::string_view requestText);

// Limits of Basic credentials: longer ones are refused.
constexpr size_t kMaxBasicTokenLength = 127;
constexpr size_t kMaxBasicFieldLength = 35;  // user name or password bytes

struct BasicCredentials {
    std::string username;
    std::string password;  // everything after the first ':' (may hold ':')
};

// Reads the Base64 token at the start of `rest` (up to the first blank or
// line end) and splits the decoded text at its first ':'. Text without ':'
// gives the whole text as user name and an empty password. False (no
// credentials) for a token under 2 or over kMaxBasicTokenLength characters,
// a failed decode, a user name or password over kMaxBasicFieldLength bytes,
// or decoded bytes holding NUL.
bool decodeBasicCredentials(std::string_view rest, BasicCredentials& out);

// Longest parameter value of a Digest header.
constexpr size_t kMaxDigestValueLength = 255;

struct DigestCredentials {
    std::string username;
    std::string realm;
    std::string nonce;
    std::string uri;
    std::string response;
};

// Reads name="value" parameters (separated by commas and blanks, unquoted
// values allowed) from `rest` up to the end of its line; unknown names are
// skipped. False for an unterminated quote, a value over
// kMaxDigestValueLength, a control character in a value, or when any of
// username, realm, nonce, uri, response is missing.
bool parseDigestCredentials(std::string_view rest, DigestCredentials& out);
