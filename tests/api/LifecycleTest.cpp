// The exported functions' argument checks, return codes and start/stop
// handshakes, driven through the C API.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Loopback.h"
#include "Nerivo.h"
#include "api/ServerThread.h"

namespace {

std::vector<CHANNEL_INFO_T> makeChannels(int count) {
    std::vector<CHANNEL_INFO_T> channels(count);
    for (int i = 0; i < count; ++i) {
        channels[i].channel_id = i;
        snprintf(channels[i].stream_name, sizeof channels[i].stream_name, "cam%d", i);
    }
    return channels;
}

int startOn(uint16_t port, const std::vector<CHANNEL_INFO_T>& channels, const char* user = nullptr,
            const char* password = nullptr, const char* realm = nullptr) {
    return Nerivo_Startup(port, 0, realm, user, password, nullptr, nullptr, channels.data(),
                          static_cast<unsigned>(channels.size()));
}

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(Nerivo_Shutdown(), 0); }
    std::vector<CHANNEL_INFO_T> fChannels = makeChannels(2);
};

TEST_F(Lifecycle, ArgumentChecksComeInOrderAndLogNothing) {
    LogCapture log;
    const std::string longName(36, 'u');
    const std::string longRealm(64, 'r');
    struct Case {
        const char* what;
        unsigned short port;
        const CHANNEL_INFO_T* channels;
        unsigned count;
        const char* user;
        const char* realm;
        int expected;
    } cases[] = {
        {"port 0 before null array", 0, nullptr, 0, nullptr, nullptr, -1},
        {"null array before count 0", 8554, nullptr, 0, nullptr, nullptr, -2},
        {"count 0", 8554, fChannels.data(), 0, nullptr, nullptr, -3},
        {"user name of 36 bytes", 8554, fChannels.data(), 2, longName.c_str(), nullptr, -6},
        {"realm of 64 bytes", 8554, fChannels.data(), 2, nullptr, longRealm.c_str(), -6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Nerivo_Startup(c.port, 0, c.realm, c.user, "pw", nullptr, nullptr, c.channels, c.count),
                  c.expected)
            << c.what;
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Lifecycle, CallsWithoutContextAndShutdownTwice) {
    PUSH_FRAME_T frame{};
    struct Case {
        const char* what;
        int result;
        int expected;
    } cases[] = {
        {"push before start", Nerivo_PushFrame(0, &frame), -1},
        {"push negative id", Nerivo_PushFrame(-1, &frame), -1},
        {"push null frame", Nerivo_PushFrame(0, nullptr), -1},
        {"reset before start", Nerivo_ResetChannel(0), -1},
        {"add user before start", Nerivo_AddUser("a", "b"), -1},
        {"del user before start", Nerivo_DelUser("a"), -1},
        {"shutdown without context", Nerivo_Shutdown(), 0},
        {"shutdown again", Nerivo_Shutdown(), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(Lifecycle, SecondStartKeepsFirstSettingsAndChannelLimit) {
    uint16_t port = freeTcpPort();
    std::vector<CHANNEL_INFO_T> many = makeChannels(1500);
    ASSERT_EQ(startOn(port, many), 0);
    int s = connectLoopback(port);
    EXPECT_GE(s, 0);
    close(s);

    uint16_t otherPort = freeTcpPort();
    EXPECT_EQ(startOn(otherPort, fChannels, "user", "pw"), 0);
    EXPECT_EQ(connectLoopback(otherPort), -1) << "second start must not listen elsewhere";
    EXPECT_EQ(Nerivo_AddUser("x", "y"), -1) << "second start must not create accounts";

    EXPECT_EQ(Nerivo_ResetChannel(1023), 0) << "entry 1024 kept";
    EXPECT_EQ(Nerivo_ResetChannel(1024), -3) << "entry 1025 dropped";
    EXPECT_EQ(Nerivo_ResetChannel(-1), -1);
}

TEST_F(Lifecycle, AccountsNeedBothStartupCredentials) {
    const std::string longName(36, 'n');
    ASSERT_EQ(startOn(freeTcpPort(), fChannels, "admin", ""), 0);
    EXPECT_EQ(Nerivo_AddUser("a", "b"), -1) << "empty start-up password: no table";
    ASSERT_EQ(Nerivo_Shutdown(), 0);

    ASSERT_EQ(startOn(freeTcpPort(), fChannels, "admin", "secret"), 0);
    struct Case {
        const char* what;
        int result;
        int expected;
    } cases[] = {
        {"add", Nerivo_AddUser("viewer", "pw"), 0},
        {"add empty password", Nerivo_AddUser("viewer", ""), -10},
        {"add null name", Nerivo_AddUser(nullptr, "pw"), -10},
        {"add long name", Nerivo_AddUser(longName.c_str(), "pw"), -10},
        {"del unknown", Nerivo_DelUser("nobody"), 0},
        {"del empty", Nerivo_DelUser(""), -10},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(Lifecycle, PortInUseFailsWithTheBindErrorUntilShutdown) {
    uint16_t port = freeTcpPort();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    LogCapture log;
    EXPECT_EQ(startOn(port, fChannels), -5);
    EXPECT_TRUE(log.contains("Failed to create RTSP server: ")) << log.text();
    EXPECT_TRUE(log.contains("Address already in use")) << log.text();
    close(holder);
    EXPECT_EQ(startOn(port, fChannels), -5) << "the ended thread's context stays until shutdown";
    EXPECT_EQ(Nerivo_Shutdown(), 0);
    EXPECT_EQ(startOn(port, fChannels), 0);
}

TEST_F(Lifecycle, FailedStepRebuildsOnTheSamePort) {
    uint16_t port = freeTcpPort();
    ASSERT_EQ(startOn(port, fChannels), 0);
    int before = connectLoopback(port);
    ASSERT_GE(before, 0);
    LogCapture log;
    ServerThread_FailNextStep();
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {
        usleep(50 * 1000);
        back = log.contains("__RtspServerProcThread error! pTaskScheduler0->SingleStep(0) Ret:-1 \n") &&
               Nerivo_ResetChannel(0) == 0;
    }
    EXPECT_TRUE(back) << log.text();
    EXPECT_TRUE(log.contains("socket numbers used in the select() call:")) << log.text();
    // Each mark is a record of its own: " 5(", "r", ")".
    std::string text = log.text();
    size_t mark = text.find("socket numbers used in the select() call:");
    bool readMark = false;
    for (size_t pos = text.find(" r", mark); pos != std::string::npos && !readMark; pos = text.find(" r", pos + 1))
        readMark = pos > 0 && isdigit(static_cast<unsigned char>(text[pos - 1]));
    EXPECT_TRUE(readMark) << "the listening socket is listed with its read mark";
    int after = connectLoopback(port);
    EXPECT_GE(after, 0);
    close(after);
    close(before);
    if (HasFailure()) fprintf(stderr, "%s\n", log.text().c_str());
}

TEST_F(Lifecycle, ShutdownWithOpenConnectionsEndsPromptly) {
    uint16_t port = freeTcpPort();
    ASSERT_EQ(startOn(port, fChannels), 0);
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(connectLoopback(port));
    usleep(50 * 1000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Nerivo_Shutdown(), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    // One handshake poll of 100 ms plus one scheduler step, with room to spare.
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    for (int s : clients) {
        char byte;
        EXPECT_LE(recv(s, &byte, 1, 0), 0) << "the connection was closed";
        close(s);
    }
}

}  // namespace
