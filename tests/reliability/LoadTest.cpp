// Load and exhaustion: a thousand connections with keep-alives while 16
// channels stream; descriptor exhaustion in a child process (accepts fail,
// the server goes on, does not spin, and recovers); stream ports exhausted in
// a network namespace of a child (SETUP fails cleanly, then works again).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "ReliabilitySupport.h"
#include "TestHost.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kChannels = 16;

TEST(Load, ThousandConnectionsWithKeepAlivesWhileSixteenChannelsStream) {
    const size_t kConnections = 1000;
    ASSERT_TRUE(raiseDescriptorLimit(2 * kConnections + 512)) << "descriptor limit too low";
    TestHost host;
    std::vector<int> channels;
    for (int i = 0; i < kChannels; ++i) {
        host.addChannel(i, "ch" + std::to_string(i), TestHost::h264Description());
        channels.push_back(i);
    }
    uint16_t port = freeTcpPort();
    ASSERT_EQ(host.start(port), 0);
    VideoPusher pusher(libraryPush(), channels);
    pusher.start();
    std::vector<std::unique_ptr<StreamClient>> viewers;
    for (int i = 0; i < kChannels; ++i) {
        std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/ch" + std::to_string(i);
        viewers.push_back(std::make_unique<StreamClient>(port, url, i % 2 == 0 ? Transport::Tcp : Transport::Udp));
        ASSERT_TRUE(viewers.back()->start()) << viewers.back()->failure();
    }
    auto readViewers = [&](int ms) {
        auto end = steady_clock::now() + milliseconds(ms);
        while (steady_clock::now() < end)
            for (auto& viewer : viewers) viewer->receiveFor(1);
    };

    ConnectionSwarm swarm(port, kConnections);
    ASSERT_EQ(swarm.connected(), kConnections);
    auto start = steady_clock::now();
    for (int round = 0; round < 5; ++round) {
        swarm.sendAll([&](size_t i) {
            const char* method = (i + round) % 2 == 0 ? "OPTIONS" : "GET_PARAMETER";
            return std::string(method) + " rtsp://127.0.0.1/ch" + std::to_string(i % kChannels) +
                   " RTSP/1.0\r\nCSeq: " + std::to_string(round) + "\r\n\r\n";
        });
        EXPECT_EQ(swarm.collect(1, 5000), kConnections) << "round " << round;
        readViewers(300);
    }
    double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    EXPECT_EQ(swarm.closedByServer(), 0u);
    for (auto& viewer : viewers) {
        EXPECT_TRUE(viewer->receiveFrames(5)) << viewer->controlUrl();
        EXPECT_FALSE(viewer->closedByServer());
        // 25 frames a second for the whole time, a few frames of slack.
        EXPECT_GE(viewer->frames() + 15, static_cast<size_t>(seconds * 25)) << viewer->controlUrl();
    }
    for (size_t i = 0; i < viewers.size(); i += 2) EXPECT_EQ(viewers[i]->sequenceGaps(), 0u);
}

// ---- child processes ----

// A pipe between the test and a child that serves: the child writes lines,
// and ends when the test closes its end.
struct Child {
    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;

    // Runs body(writeFd, readFd) in a child; the child exits with its result.
    static Child start(const std::function<int(int, int)>& body) {
        int up[2], down[2];
        Child child;
        if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) return child;
        fflush(stdout);
        child.pid = fork();
        if (child.pid == 0) {
            close(up[0]);
            close(down[1]);
            _exit(body(up[1], down[0]));
        }
        close(up[1]);
        close(down[0]);
        child.fromChild = up[0];
        child.toChild = down[1];
        return child;
    }
    // One line from the child ("" on time-out or end).
    std::string readLine(int timeoutMs) const {
        std::string line;
        auto deadline = steady_clock::now() + milliseconds(timeoutMs);
        while (steady_clock::now() < deadline) {
            pollfd p{fromChild, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c;
            if (read(fromChild, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
    // Tells the child to end and returns its exit status (-1 when killed).
    int finish(int timeoutMs) {
        if (toChild >= 0) close(toChild);
        toChild = -1;
        auto deadline = steady_clock::now() + milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (fromChild >= 0) close(fromChild);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

void writeLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
}

// Waits until the test closes its end of the pipe.
void waitForEnd(int fd) {
    char c;
    while (read(fd, &c, 1) > 0) {
    }
}

TEST(Load, DescriptorExhaustionDelaysAcceptsWithoutSpinningAndRecovers) {
    Child child = Child::start([](int out, int in) {
        rlimit limit{64, 64};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
        TestHost host;
        host.addChannel(0, "ch0", TestHost::h264Description());
        uint16_t port = freeTcpPort();
        if (host.start(port) != 0) return 3;
        VideoPusher pusher(libraryPush(), {0});
        pusher.start();
        writeLine(out, std::to_string(port));
        waitForEnd(in);
        pusher.stop();
        return 0;
    });
    ASSERT_GT(child.pid, 0);
    int port = atoi(child.readLine(10000).c_str());
    ASSERT_GT(port, 0);
    StreamClient viewer(static_cast<uint16_t>(port), "rtsp://127.0.0.1:" + std::to_string(port) + "/ch0", Transport::Tcp);
    ASSERT_TRUE(viewer.start()) << viewer.failure();

    // Connections until one is no longer answered: the server is out of
    // descriptors and that one waits in the listen queue; a few more wait
    // with it.
    const std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    std::vector<int> answered, waiting;
    while (waiting.empty() && answered.size() < 80) {
        int fd = connectLoopback(static_cast<uint16_t>(port));
        ASSERT_GE(fd, 0);
        (statusOf(rtspExchange(fd, options, 500)) == 200 ? answered : waiting).push_back(fd);
    }
    ASSERT_EQ(waiting.size(), 1u) << "never ran out with " << answered.size() << " connections";
    for (int i = 0; i < 4; ++i) {
        int fd = connectLoopback(static_cast<uint16_t>(port));
        ASSERT_GE(fd, 0);
        send(fd, options.data(), options.size(), MSG_NOSIGNAL);
        waiting.push_back(fd);
    }
    // Out of descriptors, the server neither spins nor stops serving.
    double cpuBefore = processCpuSeconds(child.pid);
    viewer.receiveFor(1000);
    double cpu = processCpuSeconds(child.pid) - cpuBefore;
    printf("server CPU while out of descriptors: %.2f s in 1 s (%zu connections served)\n", cpu, answered.size());
    EXPECT_LT(cpu, 0.3) << "the accept handler spins";
    EXPECT_TRUE(viewer.receiveFrames(5));
    for (int fd : {answered.front(), answered.back()}) EXPECT_EQ(statusOf(rtspExchange(fd, options, 1000)), 200);

    // Descriptors free again: the waiting connections are served.
    for (size_t i = 0; i < 10; ++i) {
        close(answered.back());
        answered.pop_back();
    }
    for (int fd : waiting) {
        EXPECT_EQ(statusOf(readResponse(fd, 3000)), 200);
        close(fd);
    }
    for (int fd : answered) close(fd);
    EXPECT_TRUE(viewer.receiveFrames(5));
    EXPECT_EQ(viewer.sequenceGaps(), 0u);
    EXPECT_EQ(child.finish(10000), 0);
}

// Brings the loopback interface of a fresh network namespace up.
bool loopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

constexpr int kSkipped = 77;

// Takes every even port of [first, last], so that no RTP/RTCP pair there is
// free. Returns the sockets that hold them.
std::vector<int> takeEvenPorts(unsigned first, unsigned last) {
    std::vector<int> held;
    for (unsigned port = first; port <= last; port += 2) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            continue;
        }
        held.push_back(fd);
    }
    return held;
}

// A process of the same network namespace that holds the upper half of the
// stream ports until `release` is closed.
pid_t holdUpperPorts(unsigned first, int& release) {
    int ready[2], done[2];
    if (pipe(ready) != 0 || pipe(done) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(done[1]);
        std::vector<int> held = takeEvenPorts(first, 65534);
        writeLine(ready[1], std::to_string(held.size()));
        waitForEnd(done[0]);
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    release = done[1];
    char line[32] = {};
    ssize_t got = read(ready[0], line, sizeof line - 1);
    close(ready[0]);
    return got > 0 && atoi(line) > 10000 ? pid : -1;
}

int portExhaustionChild(int out) {
    auto fail = [&](const std::string& what) {
        writeLine(out, "FAIL " + what);
        return 1;
    };
    // A network namespace of our own (with a user namespace when not root),
    // so that taking every port disturbs nobody else.
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return kSkipped;
    if (!loopbackUp()) return kSkipped;
    // Half the ports here, half in a helper: each within the descriptor limit.
    const unsigned middle = 36270;
    if (!raiseDescriptorLimit(16000)) return kSkipped;
    int release = -1;
    pid_t helper = holdUpperPorts(middle, release);
    if (helper < 0) return fail("the helper could not take the upper ports");
    std::vector<int> held = takeEvenPorts(6970, middle - 2);
    if (held.size() < 14000) return fail("only " + std::to_string(held.size()) + " ports taken");
    auto freePorts = [&] {
        for (int fd : held) close(fd);
        held.clear();
        close(release);
        waitpid(helper, nullptr, 0);
    };

    TestHost host;
    host.addChannel(0, "ch0", TestHost::h264Description());
    uint16_t port = 8554;
    if (host.start(port) != 0) return fail("no server");
    VideoPusher pusher(libraryPush(), {0});
    pusher.start();
    std::string url = "rtsp://127.0.0.1:8554/ch0";
    RtspTestClient client(port);
    RtspResponse describe = client.describe(url);
    if (describe.status != 200) return fail("DESCRIBE: " + describe.text);
    std::string sdp = describe.body();
    size_t control = sdp.find("a=control:", sdp.find("m=video"));
    std::string track = url + "/" + sdp.substr(control + 10, sdp.find("\r\n", control) - control - 10);
    for (const char* transport : {"RTP/AVP;unicast;client_port=5000-5001", "RTP/AVP/TCP;unicast;interleaved=0-1"}) {
        RtspResponse setup = client.request("SETUP", track, std::string("Transport: ") + transport + "\r\n");
        if (setup.status != 500) return fail(std::string(transport) + ": " + setup.text);
        if (client.request("OPTIONS", "*").status != 200) return fail("connection unusable after SETUP");
    }
    freePorts();
    StreamClient viewer(port, url, Transport::Udp);
    if (!viewer.start()) return fail("no SETUP with free ports: " + viewer.failure());
    if (!viewer.receiveFrames(5)) return fail("no frames");
    writeLine(out, "OK");
    return 0;
}

TEST(Load, StreamPortExhaustionFailsSetupCleanly) {
    Child child = Child::start([](int out, int) { return portExhaustionChild(out); });
    ASSERT_GT(child.pid, 0);
    std::string line = child.readLine(60000);
    int status = child.finish(10000);
    if (status == kSkipped) GTEST_SKIP() << "no network namespace or descriptor limit for the test";
    EXPECT_EQ(line, "OK");
    EXPECT_EQ(status, 0);
}

}  // namespace
