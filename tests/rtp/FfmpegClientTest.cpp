// A real client without RTSP: ffmpeg reads an SDP built from the sinks' lines
// and decodes what the sinks send over UDP. The stream ends with the RTCP BYE.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "MediaFiles.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/H265VideoRTPSink.h"
#include "rtp/H265VideoStreamDiscreteFramer.h"
#include "rtp/MPEG4GenericRTPSink.h"
#include "rtp/RtpRandom.h"
#include "rtp/RTCPInstance.h"
#include "rtp/SimpleRTPSink.h"

extern char** environ;

namespace {

enum class Kind { H264, H265, PCMU, AAC };

// An even port whose pair is free a moment ago, below the ephemeral range so
// that sockets of parallel tests do not take it meanwhile.
uint16_t freePortPair() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        uint16_t port = static_cast<uint16_t>(20000 + (rtpRandom32() % 5000) * 2);
        bool free = true;
        for (uint16_t p : {port, static_cast<uint16_t>(port + 1)}) {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(p);
            free = free && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
        }
        if (free) return port;
    }
    return 0;
}

// Whether process `pid` holds a UDP socket bound to `port` (from /proc).
bool processHoldsUdpPort(pid_t pid, uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // heading
    std::vector<std::string> inodes;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port) {
            inodes.push_back("socket:[" + inode + "]");
        }
    }
    for (int fd = 0; fd < 256; ++fd) {
        char link[256];
        std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        for (const std::string& inode : inodes) {
            if (inode == link) return true;
        }
    }
    return false;
}

// The frames to send, with their presentation times.
std::vector<TestFrame> framesOf(Kind kind, const TempDir& dir, unsigned& expectedUnits) {
    std::vector<TestFrame> frames;
    if (kind == Kind::H264 || kind == Kind::H265) {
        int hNumber = kind == Kind::H264 ? 264 : 265;
        std::vector<uint8_t> stream = makeVideoStream(dir, hNumber);
        unsigned picture = 0;
        for (auto& nal : splitAnnexB(stream)) {
            if (nal.empty()) continue;
            unsigned type = hNumber == 264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
            bool vcl = hNumber == 264 ? (type >= 1 && type <= 5) : type <= 31;
            timeval pt{1000 + static_cast<time_t>(picture / 25), static_cast<suseconds_t>(picture % 25 * 40000)};
            frames.push_back({std::move(nal), pt});
            if (vcl) ++picture;
        }
        expectedUnits = picture;
        return frames;
    }
    std::string path = dir.path() + (kind == Kind::PCMU ? "/out.ul" : "/out.aac");
    std::string codec = kind == Kind::PCMU ? "-ar 8000 -ac 1 -c:a pcm_mulaw -f mulaw"
                                           : "-ar 48000 -ac 2 -c:a aac -f adts";
    if (!runCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                    "sine=frequency=440:sample_rate=48000 -t 1 " + codec + " '" + path + "'")) {
        return frames;
    }
    std::vector<uint8_t> data = readFile(path);
    if (kind == Kind::PCMU) {
        for (size_t offset = 0, i = 0; offset < data.size(); offset += 160, ++i) {
            size_t size = std::min<size_t>(160, data.size() - offset);
            frames.push_back({std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + size),
                              {1000, static_cast<suseconds_t>(i * 20000)}});
        }
        expectedUnits = static_cast<unsigned>(data.size());  // samples
        return frames;
    }
    unsigned i = 0;
    for (auto& unit : splitAdts(data)) {
        uint64_t usec = static_cast<uint64_t>(i++) * 1024 * 1000000 / 48000;
        frames.push_back({std::move(unit), {static_cast<time_t>(1000 + usec / 1000000),
                                            static_cast<suseconds_t>(usec % 1000000)}});
    }
    expectedUnits = i;
    return frames;
}

// Ends the child (by its PID) if a failed assertion leaves it running.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

class FfmpegClientTest : public RtpTestEnv {
protected:
    pid_t startFfmpeg(const std::string& sdpPath, const std::string& outPath, const std::string& errPath) {
        std::vector<std::string> args{"ffmpeg", "-nostdin", "-hide_banner", "-v", "error",
                                      "-protocol_whitelist", "file,udp,rtp", "-i", sdpPath,
                                      "-f", "framecrc", outPath};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits for the process, at most `ms`; kills it (by its PID) after that.
    int waitFor(pid_t pid, int ms) {
        int status = 0;
        for (int waited = 0; waited < ms; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            scheduler->SingleStep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }
};

TEST_F(FfmpegClientTest, DecodesEveryFrameOfEachCodec) {
    struct Case {
        const char* name;
        Kind kind;
    } cases[] = {{"H.264", Kind::H264}, {"H.265", Kind::H265}, {"PCMU", Kind::PCMU}, {"AAC", Kind::AAC}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kind == Kind::H265 && !ffmpegHasEncoder("libx265")) continue;
        TempDir dir;
        unsigned expected = 0;
        std::vector<TestFrame> frames = framesOf(c.kind, dir, expected);
        ASSERT_FALSE(frames.empty());

        Groupsock* rtpGS = Groupsock::createNew(*env, 0);
        Groupsock* rtcpGS = Groupsock::createNew(*env, 0);
        RTPSink* sink = nullptr;
        FramedSource* source = TestFrameSource::createNew(*env, frames, 3000, true);
        switch (c.kind) {
            case Kind::H264:
                sink = H264VideoRTPSink::createNew(*env, rtpGS, 96, nullptr, 0, nullptr, 0);
                source = H264VideoStreamDiscreteFramer::createNew(*env, source);
                break;
            case Kind::H265:
                sink = H265VideoRTPSink::createNew(*env, rtpGS, 96, nullptr, 0, nullptr, 0, nullptr, 0);
                source = H265VideoStreamDiscreteFramer::createNew(*env, source);
                break;
            case Kind::PCMU:
                sink = SimpleRTPSink::createNew(*env, rtpGS, 0, 8000, "audio", "PCMU");
                break;
            case Kind::AAC:
                sink = MPEG4GenericRTPSink::createNew(*env, rtpGS, 97, 48000, "audio", "AAC-hbr", "1190", 2);
                break;
        }
        ASSERT_NE(sink, nullptr);
        // The video sinks describe the parameter sets their framer has seen:
        // take them from the frames here (a live server has them from the host).
        if (c.kind == Kind::H264 || c.kind == Kind::H265) {
            Medium::close(sink);
            std::vector<uint8_t> vps, sps, pps;
            for (const TestFrame& f : frames) {
                unsigned type = c.kind == Kind::H264 ? (f.data[0] & 0x1F) : ((f.data[0] >> 1) & 0x3F);
                std::vector<uint8_t>* set = nullptr;
                if (c.kind == Kind::H264) set = type == 7 ? &sps : type == 8 ? &pps : nullptr;
                else set = type == 32 ? &vps : type == 33 ? &sps : type == 34 ? &pps : nullptr;
                if (set != nullptr && set->empty()) *set = f.data;
            }
            if (c.kind == Kind::H264) {
                sink = H264VideoRTPSink::createNew(*env, rtpGS, 96, sps.data(), static_cast<unsigned>(sps.size()),
                                                   pps.data(), static_cast<unsigned>(pps.size()));
            } else {
                sink = H265VideoRTPSink::createNew(*env, rtpGS, 96, vps.data(), static_cast<unsigned>(vps.size()),
                                                   sps.data(), static_cast<unsigned>(sps.size()), pps.data(),
                                                   static_cast<unsigned>(pps.size()));
            }
        }
        uint16_t port = freePortPair();
        ASSERT_NE(port, 0);
        std::ostringstream sdp;
        sdp << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Nerivo RTP test\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            << "m=" << sink->sdpMediaType() << " " << port << " RTP/AVP " << int(sink->rtpPayloadType()) << "\r\n"
            << sink->rtpmapLine() << (sink->auxSDPLine() != nullptr ? sink->auxSDPLine() : "");
        std::string sdpPath = dir.path() + "/stream.sdp", outPath = dir.path() + "/frames.txt",
                    errPath = dir.path() + "/ffmpeg.err";
        std::ofstream(sdpPath) << sdp.str();

        pid_t ffmpeg = startFfmpeg(sdpPath, outPath, errPath);
        ASSERT_GT(ffmpeg, 0);
        ChildGuard guard{ffmpeg};
        for (int i = 0; i < 1000 && !(processHoldsUdpPort(ffmpeg, port) && processHoldsUdpPort(ffmpeg, port + 1)); ++i) {
            usleep(10000);
        }
        ASSERT_TRUE(processHoldsUdpPort(ffmpeg, port)) << "ffmpeg did not open its port";
        rtpGS->addDestination(htonl(INADDR_LOOPBACK), port, 1);
        rtcpGS->addDestination(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port + 1), 1);
        RTCPInstance* rtcp = RTCPInstance::createNew(*env, rtcpGS, 500, "nerivo-test", sink);

        bool ended = false;
        ASSERT_TRUE(sink->startPlaying(*source, [](void* e) { *static_cast<bool*>(e) = true; }, &ended));
        int64_t deadline = BasicTaskScheduler::nowMicroseconds() + 10000000;
        while (!ended && BasicTaskScheduler::nowMicroseconds() < deadline) scheduler->SingleStep(1000);
        ASSERT_TRUE(ended);
        runFor(200000);
        Medium::close(rtcp);  // BYE: ffmpeg ends its input
        int exitCode = waitFor(ffmpeg, 15000);
        guard.pid = -1;
        Medium::close(sink);
        Medium::close(source);
        Medium::close(rtpGS);
        Medium::close(rtcpGS);

        std::vector<uint8_t> err = readFile(errPath);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(std::string(err.begin(), err.end()), "");
        std::ifstream out(outPath);
        unsigned decodedFrames = 0, decodedBytes = 0;
        for (std::string line; std::getline(out, line);) {
            if (line.empty() || line[0] == '#') continue;
            ++decodedFrames;
            std::vector<std::string> fields;
            std::stringstream fieldStream(line);
            for (std::string f; std::getline(fieldStream, f, ',');) fields.push_back(f);
            if (fields.size() >= 5) decodedBytes += std::stoul(fields[4]);
        }
        if (c.kind == Kind::PCMU) {
            EXPECT_EQ(decodedBytes, expected * 2);  // 16-bit samples
        } else {
            EXPECT_EQ(decodedFrames, expected);
        }
    }
}

}  // namespace
