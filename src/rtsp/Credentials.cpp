#include "rtsp/Credentials.h"

#include <cstdint>

#include "rtp/Base64.h"
#include "rtsp/TextUtil.h"

namespace {

constexpr std::string_view kDigestPrefix = "Authorization: Digest ";
constexpr std::string_view kBasicPrefix = "Authorization: Basic ";
constexpr size_t kMaxBasicDecodedLength = (kMaxBasicTokenLength + 3) / 4 * 3;

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

std::string_view firstLine(std::string_view text) { return text.substr(0, text.find_first_of("\r\n")); }

// Reads one value (quoted, with backslash escapes, or bare up to a comma or
// blank) from the front of `rest`.
bool takeDigestValue(std::string_view& rest, std::string& value) {
    value.clear();
    if (!rest.empty() && rest.front() == '"') {
        size_t i = 1;
        for (; i < rest.size() && rest[i] != '"'; ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
            if (isControl(rest[i]) || value.size() >= kMaxDigestValueLength) return false;
            value += rest[i];
        }
        if (i >= rest.size()) return false;  // unterminated quote
        rest.remove_prefix(i + 1);
        return true;
    }
    size_t end = 0;
    while (end < rest.size() && rest[end] != ',' && !isBlank(rest[end])) {
        if (isControl(rest[end])) return false;
        ++end;
    }
    if (end > kMaxDigestValueLength) return false;
    value.assign(rest.substr(0, end));
    rest.remove_prefix(end);
    return true;
}

constexpr int kDigestFieldCount = 5;

// Index of a parameter we read, or -1.
int digestFieldIndex(std::string_view name) {
    static constexpr std::string_view kNames[kDigestFieldCount] = {"username", "realm", "nonce", "uri",
                                                                   "response"};
    for (int i = 0; i < kDigestFieldCount; ++i) {
        if (equalsIgnoreCase(name, kNames[i])) return i;
    }
    return -1;
}

std::string& digestField(int index, DigestCredentials& out) {
    switch (index) {
    case 0: return out.username;
    case 1: return out.realm;
    case 2: return out.nonce;
    case 3: return out.uri;
    default: return out.response;
    }
}

bool isSeparator(char c) { return c == ',' || isBlank(c); }

}  // namespace

CredentialsMatch findCredentials(std::string_view requestText) {
    for (size_t i = 0; i < requestText.size(); ++i) {
        if (asciiLower(requestText[i]) != 'a') continue;
        std::string_view rest = requestText.substr(i);
        if (startsWithIgnoreCase(rest, kDigestPrefix)) {
            return CredentialsMatch{CredentialsKind::Digest, rest.substr(kDigestPrefix.size())};
        }
        if (startsWithIgnoreCase(rest, kBasicPrefix)) {
            return CredentialsMatch{CredentialsKind::Basic, rest.substr(kBasicPrefix.size())};
        }
    }
    return CredentialsMatch{};
}

bool decodeBasicCredentials(std::string_view rest, BasicCredentials& out) {
    out = BasicCredentials();
    size_t tokenLength = 0;
    while (tokenLength < rest.size() && !isWhiteSpace(rest[tokenLength])) ++tokenLength;
    if (tokenLength < 2 || tokenLength > kMaxBasicTokenLength) return false;
    uint8_t decoded[kMaxBasicDecodedLength];
    size_t decodedLength = 0;
    if (!base64Decode(rest.data(), tokenLength, decoded, sizeof decoded, decodedLength)) return false;
    std::string_view text(reinterpret_cast<const char*>(decoded), decodedLength);
    if (text.find('\0') != std::string_view::npos) return false;
    size_t colon = text.find(':');
    std::string_view user = text.substr(0, colon);
    std::string_view password = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (user.size() > kMaxBasicFieldLength || password.size() > kMaxBasicFieldLength) return false;
    out.username.assign(user);
    out.password.assign(password);
    return true;
}

bool parseDigestCredentials(std::string_view rest, DigestCredentials& out) {
    out = DigestCredentials();
    std::string_view line = firstLine(rest);
    std::string value;
    bool seen[kDigestFieldCount] = {};
    while (true) {
        while (!line.empty() && isSeparator(line.front())) line.remove_prefix(1);
        if (line.empty()) break;
        size_t nameEnd = 0;
        while (nameEnd < line.size() && line[nameEnd] != '=' && !isSeparator(line[nameEnd])) ++nameEnd;
        std::string_view name = line.substr(0, nameEnd);
        line.remove_prefix(nameEnd);
        if (line.empty() || line.front() != '=') continue;  // a bare word: skipped
        line.remove_prefix(1);
        if (!takeDigestValue(line, value)) return false;
        int index = digestFieldIndex(name);
        if (index < 0) continue;
        if (seen[index]) return false;  // a repeated parameter is ambiguous
        seen[index] = true;
        digestField(index, out) = value;
    }
    return !out.username.empty() && !out.realm.empty() && !out.nonce.empty() && !out.uri.empty() &&
           !out.response.empty();
}
