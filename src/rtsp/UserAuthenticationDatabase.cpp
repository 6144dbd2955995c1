#include "rtsp/UserAuthenticationDatabase.h"

#include <new>

#include <openssl/crypto.h>

namespace {

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
}

}  // namespace

UserAuthenticationDatabase* UserAuthenticationDatabase::createNew(int authType, const char* realm) {
    try {
        return new (std::nothrow) UserAuthenticationDatabase(authType, realm);
    } catch (const std::bad_alloc&) {  // copying the realm
        return nullptr;
    }
}

UserAuthenticationDatabase::UserAuthenticationDatabase(int authType, const char* realm)
    : fAuthType(authType), fRealm(realm != nullptr ? realm : kDefaultRealm) {}

UserAuthenticationDatabase::~UserAuthenticationDatabase() {
    for (auto& entry : fUsers) wipe(entry.second);
}

bool UserAuthenticationDatabase::addUserRecord(const char* username, const char* password) {
    if (username == nullptr || password == nullptr) return false;
    std::lock_guard<std::mutex> lock(fMutex);
    try {
        std::string& stored = fUsers[username];
        wipe(stored);
        stored = password;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool UserAuthenticationDatabase::replaceUserRecord(const char* username, const char* password) {
    removeUserRecord(username);
    return addUserRecord(username, password);
}

void UserAuthenticationDatabase::removeUserRecord(const char* username) {
    if (username == nullptr) return;
    std::lock_guard<std::mutex> lock(fMutex);
    try {
        auto found = fUsers.find(username);
        if (found == fUsers.end()) return;
        wipe(found->second);
        fUsers.erase(found);
    } catch (const std::bad_alloc&) {  // the key's temporary string
    }
}

bool UserAuthenticationDatabase::lookupPassword(const char* username, std::string& passwordOut) const {
    passwordOut.clear();
    if (username == nullptr) return false;
    std::lock_guard<std::mutex> lock(fMutex);
    try {
        auto found = fUsers.find(username);
        if (found == fUsers.end()) return false;
        passwordOut = found->second;
    } catch (const std::bad_alloc&) {
        passwordOut.clear();
        return false;
    }
    return true;
}
