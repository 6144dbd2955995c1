// Nerivo_AddUser and Nerivo_DelUser: the account table, changed from host threads.
#include <cstring>

#include "api/ServerContext.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

bool validCredential(const char* text) {
    return text != nullptr && text[0] != '\0' && strnlen(text, kMaxCredentialLength + 1) <= kMaxCredentialLength;
}

}  // namespace

extern "C" NERIVO_API int Nerivo_AddUser(const char* user_name, const char* password) {
    ApiCall call;
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) return -1;
    UserAuthenticationDatabase* db = ctx->auth_db.load();
    if (db == nullptr) return -1;
    if (!validCredential(user_name) || !validCredential(password)) return -10;
    db->addUserRecord(user_name, password);
    return 0;
}

extern "C" NERIVO_API int Nerivo_DelUser(const char* user_name) {
    ApiCall call;
    SERVER_CTX_T* ctx = g_serverCtx.load();
    if (ctx == nullptr) return -1;
    UserAuthenticationDatabase* db = ctx->auth_db.load();
    if (db == nullptr) return -1;
    if (!validCredential(user_name)) return -10;
    db->removeUserRecord(user_name);
    return 0;
}
