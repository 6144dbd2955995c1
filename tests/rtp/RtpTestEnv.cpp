#include "RtpTestEnv.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void setSendBuffer(int socketNum, int bytes) {
    setsockopt(socketNum, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void setReceiveBuffer(int socketNum, int bytes) {
    setsockopt(socketNum, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void RtpTestEnv::SetUp() {
    scheduler = BasicTaskScheduler::createNew(10000);
    ASSERT_NE(scheduler, nullptr);
    env = BasicUsageEnvironment::createNew(*scheduler);
    ASSERT_NE(env, nullptr);
}

void RtpTestEnv::TearDown() {
    // Everything a test made must be gone by now, or the environment leaks.
    if (env != nullptr) {
        EXPECT_TRUE(env->reclaim()) << "stack state left on the environment";
    }
    delete scheduler;
}

std::vector<uint8_t> RtpTestEnv::readWhileStepping(int fd, size_t size) {
    std::vector<uint8_t> received;
    uint8_t buffer[65536];
    int64_t deadline = BasicTaskScheduler::nowMicroseconds() + 5000000;
    while (received.size() < size && BasicTaskScheduler::nowMicroseconds() < deadline) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
            continue;
        }
        if (n == 0) break;
        scheduler->SingleStep(1000);
    }
    return received;
}

void RtpTestEnv::runFor(int64_t microseconds) {
    int64_t deadline = BasicTaskScheduler::nowMicroseconds() + microseconds;
    while (BasicTaskScheduler::nowMicroseconds() < deadline) scheduler->SingleStep(1000);
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char path[] = "/tmp/rtp-stdout-XXXXXX";
    fFile = mkstemp(path);
    if (fFile < 0) return;
    unlink(path);
    fSaved = dup(STDOUT_FILENO);
    dup2(fFile, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    fflush(stdout);
    if (fSaved >= 0) {
        dup2(fSaved, STDOUT_FILENO);
        ::close(fSaved);
    }
    if (fFile >= 0) ::close(fFile);
}

std::string StdoutCapture::text() const {
    fflush(stdout);
    std::string all;
    if (fFile < 0) return all;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fFile, buffer, sizeof buffer, offset)) > 0) {
        all.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return all;
}

size_t StdoutCapture::count(const std::string& needle) const {
    std::string all = text();
    size_t found = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size())) ++found;
    return found;
}
