// Per-connection Digest state (RFC 2617 without qop): the realm and nonce
// last issued on the connection and the account of the last check.
#pragma once

#include <string>
#include <string_view>

class Authenticator {
public:
    Authenticator() = default;
    ~Authenticator();
    Authenticator(const Authenticator&) = delete;
    Authenticator& operator=(const Authenticator&) = delete;

    // Issues a fresh nonce: 32 hex characters from the system's random source.
    void setRealmAndRandomNonce(std::string_view realm);
    void setRealmAndNonce(std::string_view realm, std::string_view nonce);
    void setUsernameAndPassword(std::string_view username, std::string_view password);
    // Forgets realm, nonce and account.
    void reset();

    const std::string& realm() const { return fRealm; }
    const std::string& nonce() const { return fNonce; }
    const std::string& username() const { return fUsername; }
    const std::string& password() const { return fPassword; }
    bool hasNonce() const { return !fNonce.empty(); }

    // MD5(MD5(username:realm:password):nonce:MD5(cmd:url)) in lower-case hex,
    // from the stored realm, nonce and account.
    std::string computeDigestResponse(std::string_view cmd, std::string_view url) const;

private:
    std::string fRealm;
    std::string fNonce;
    std::string fUsername;
    std::string fPassword;
};

// Lower-case hex MD5 of `text` (OpenSSL EVP).
std::string md5Hex(std::string_view text);
