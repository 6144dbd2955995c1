#include "rtsp/Authenticator.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <random>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

namespace {

const char kHexDigits[] = "0123456789abcdef";

std::string toHex(const unsigned char* bytes, size_t size) {
    std::string hex(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        hex[2 * i] = kHexDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kHexDigits[bytes[i] & 15];
    }
    return hex;
}

bool fillFromKernel(unsigned char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = getrandom(bytes + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

void fillRandom(unsigned char* bytes, size_t size) {
    if (fillFromKernel(bytes, size)) return;
    // Kernels without getrandom(2): random_device reads /dev/urandom.
    try {
        std::random_device device;
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(device());
    } catch (const std::exception&) {
        // No random source at all: the nonce is at least unique per call.
        static std::atomic<uint64_t> counter{0};
        uint64_t mix = static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count()) ^ (counter++ << 40);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(mix >> (8 * (i % 8)));
    }
}

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
    secret.clear();
}

}  // namespace

std::string md5Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &digestSize, EVP_md5(), nullptr) != 1) {
        return std::string();  // never equal to a 32-character response
    }
    return toHex(digest, digestSize);
}

Authenticator::~Authenticator() { reset(); }

void Authenticator::setRealmAndRandomNonce(std::string_view realm) {
    unsigned char random[16];
    fillRandom(random, sizeof random);
    setRealmAndNonce(realm, toHex(random, sizeof random));
    OPENSSL_cleanse(random, sizeof random);
}

void Authenticator::setRealmAndNonce(std::string_view realm, std::string_view nonce) {
    fRealm.assign(realm);
    fNonce.assign(nonce);
}

void Authenticator::setUsernameAndPassword(std::string_view username, std::string_view password) {
    wipe(fPassword);
    fUsername.assign(username);
    fPassword.assign(password);
}

void Authenticator::reset() {
    fRealm.clear();
    fNonce.clear();
    fUsername.clear();
    wipe(fPassword);
}

std::string Authenticator::computeDigestResponse(std::string_view cmd, std::string_view url) const {
    std::string secret = fUsername + ":" + fRealm + ":" + fPassword;
    std::string ha1 = md5Hex(secret);
    wipe(secret);
    std::string ha2 = md5Hex(std::string(cmd) + ":" + std::string(url));
    std::string response = md5Hex(ha1 + ":" + fNonce + ":" + ha2);
    wipe(ha1);
    return response;
}
