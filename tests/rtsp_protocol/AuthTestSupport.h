// Builders of requests with credentials; MD5 computed here independently of
// the code under test.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "rtp/Base64.h"

namespace authtest {

inline std::string md5(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// RFC 2617 response without qop.
inline std::string digestResponse(const std::string& user, const std::string& realm,
                                  const std::string& password, const std::string& nonce,
                                  const std::string& method, const std::string& uri) {
    return md5(md5(user + ":" + realm + ":" + password) + ":" + nonce + ":" + md5(method + ":" + uri));
}

inline std::string basicHeader(const std::string& userColonPassword) {
    std::string token =
        base64Encode(reinterpret_cast<const uint8_t*>(userColonPassword.data()), userColonPassword.size());
    return "Authorization: Basic " + token + "\r\n";
}

inline std::string digestHeader(const std::string& user, const std::string& realm,
                                const std::string& password, const std::string& nonce,
                                const std::string& method, const std::string& uri) {
    return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", response=\"" +
           digestResponse(user, realm, password, nonce, method, uri) + "\"\r\n";
}

}  // namespace authtest
