// The account table: user name -> password, with the authentication mode and
// realm chosen at start-up. Host threads add and remove accounts while the
// server thread looks them up, so every operation takes the table's mutex
// and a lookup returns a copy.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

class UserAuthenticationDatabase {
public:
    static constexpr const char* kDefaultRealm = "LIVE555 Streaming Media";

    // authType 0 selects Basic, anything else Digest. A null realm becomes
    // kDefaultRealm. Null when memory runs out.
    static UserAuthenticationDatabase* createNew(int authType, const char* realm);

    UserAuthenticationDatabase(int authType, const char* realm);
    virtual ~UserAuthenticationDatabase();
    UserAuthenticationDatabase(const UserAuthenticationDatabase&) = delete;
    UserAuthenticationDatabase& operator=(const UserAuthenticationDatabase&) = delete;

    // Stores a copy of the password; an existing account gets the new one.
    // False (nothing changed) for null arguments or when memory runs out.
    virtual bool addUserRecord(const char* username, const char* password);
    // removeUserRecord, then addUserRecord.
    virtual bool replaceUserRecord(const char* username, const char* password);
    // An unknown name changes nothing.
    virtual void removeUserRecord(const char* username);
    // Copies the stored password into passwordOut; false when unknown.
    virtual bool lookupPassword(const char* username, std::string& passwordOut) const;

    int authType() const { return fAuthType; }
    bool usesBasic() const { return fAuthType == 0; }
    const char* realm() const { return fRealm.c_str(); }
    bool passwordsAreMD5() const { return false; }

private:
    const int fAuthType;
    std::string fRealm;
    mutable std::mutex fMutex;
    std::unordered_map<std::string, std::string> fUsers;
};
