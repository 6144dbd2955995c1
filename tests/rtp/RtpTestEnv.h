// Shared test fixture: a scheduler and environment per test, socket pairs and
// a reader that serves the event loop while it waits.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"

struct SocketPair {
    int a = -1;
    int b = -1;
    explicit SocketPair(int type) {
        int fds[2];
        if (socketpair(AF_UNIX, type, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~SocketPair() {
        if (a >= 0) ::close(a);
        closeB();
    }
    void closeB() {
        if (b >= 0) ::close(b);
        b = -1;
    }
};

void setSendBuffer(int socketNum, int bytes);
void setReceiveBuffer(int socketNum, int bytes);

class RtpTestEnv : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Reads `size` bytes from fd (non-blocking reads), running scheduler steps
    // in between; gives up after about five seconds.
    std::vector<uint8_t> readWhileStepping(int fd, size_t size);
    // Runs steps for about `microseconds`.
    void runFor(int64_t microseconds);

    BasicTaskScheduler* scheduler = nullptr;
    BasicUsageEnvironment* env = nullptr;
};

// Captures standard output (where the log writer and the batch's drop line go).
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text() const;
    size_t count(const std::string& needle) const;

private:
    int fSaved = -1;
    int fFile = -1;
};
