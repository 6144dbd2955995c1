// Host threads add and remove accounts while the server thread checks
// requests; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "rtp/Base64.h"
#include "rtsp/AccessCheck.h"
#include "rtsp/Authenticator.h"
#include "rtsp/UserAuthenticationDatabase.h"

namespace {

std::string basicRequest(const std::string& user, const std::string& password) {
    std::string pair = user + ":" + password;
    return "DESCRIBE rtsp://h/s RTSP/1.0\r\nCSeq: 1\r\nAuthorization: Basic " +
           base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size()) + "\r\n\r\n";
}

TEST(AccountTableConcurrency, ChangesWhileLookingUp) {
    std::unique_ptr<UserAuthenticationDatabase> db(UserAuthenticationDatabase::createNew(0, nullptr));
    db->addUserRecord("stable", "pw");
    std::atomic<bool> stop{false};
    std::thread host([&] {
        for (int i = 0; i < 20000; ++i) {
            std::string name = "user" + std::to_string(i % 8);
            db->addUserRecord(name.c_str(), ("password-" + std::to_string(i)).c_str());
            if (i % 3 == 0) db->removeUserRecord(name.c_str());
        }
        stop = true;
    });
    const std::string stable = basicRequest("stable", "pw");
    const std::string changing = basicRequest("user1", "password-1");
    Authenticator authenticator;
    size_t checks = 0;
    // At least once: the host thread may finish before this one is scheduled.
    do {
        EXPECT_EQ(checkClientAccess(db.get(), authenticator, "DESCRIBE", "rtsp://h/s", stable, "1").result,
                  AccessResult::Allow);
        checkClientAccess(db.get(), authenticator, "DESCRIBE", "rtsp://h/s", changing, "1");
        ++checks;
    } while (!stop);
    host.join();
    EXPECT_GT(checks, 0u);
}

}  // namespace
