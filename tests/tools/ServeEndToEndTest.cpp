// The built nerivo-serve serving ffmpeg-made files to ffprobe, then ending
// cleanly on SIGINT.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ChildProcess.h"
#include "Loopback.h"

namespace {

using namespace std::chrono_literals;

struct ServedFile {
    const char* channel;
    std::vector<std::string> encoding;  // ffmpeg arguments before the output file
    const char* file;
};

const ServedFile kFiles[] = {
    {"cam264",
     {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-g", "25", "-bf", "0",
      "-pix_fmt", "yuv420p", "-f", "h264"},
     "video.h264"},
    {"cam265",
     {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx265", "-x265-params",
      "log-level=error:keyint=25:bframes=0", "-pix_fmt", "yuv420p", "-f", "hevc"},
     "video.h265"},
    {nullptr,
     {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000", "-t", "2", "-c:a", "aac", "-ac", "2", "-f",
      "adts"},
     "audio.aac"},
};

class ServeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!programAvailable("ffmpeg") || !programAvailable("ffprobe")) GTEST_SKIP() << "ffmpeg/ffprobe missing";
        char pattern[] = "/tmp/nerivo-serve-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fDir = pattern;
        for (const ServedFile& file : kFiles) {
            std::vector<std::string> command = {"ffmpeg", "-v", "error", "-nostdin", "-y"};
            command.insert(command.end(), file.encoding.begin(), file.encoding.end());
            command.push_back(path(file.file));
            std::string output;
            ASSERT_EQ(runToEnd(command, 60s, &output), 0) << output;
        }
    }

    void TearDown() override {
        if (fDir.empty()) return;
        for (const ServedFile& file : kFiles) unlink(path(file.file).c_str());
        unlink(path("serve.log").c_str());
        rmdir(fDir.c_str());
    }

    std::string path(const std::string& name) const { return fDir + "/" + name; }

    // Waits until the server takes connections; false if it ended first.
    bool waitForListener(ChildProcess& server, uint16_t port) {
        for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
            int socket = connectLoopback(port);
            if (socket >= 0) {
                close(socket);
                return true;
            }
            if (!server.running()) return false;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    std::string describe(uint16_t port, const std::string& channel) {
        int socket = connectLoopback(port);
        if (socket < 0) return "";
        std::string request = "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) + "/" + channel +
                              " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n";
        std::string reply = rtspExchange(socket, request, 5000);
        close(socket);
        return reply;
    }

    std::string probe(uint16_t port, const std::string& channel) {
        std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/" + channel;
        std::string output;
        runToEnd({"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-timeout", "10000000", "-show_entries",
                  "stream=codec_name", "-of", "csv=p=0", url},
                 40s, &output);
        return output;
    }

    std::string fDir;
};

TEST_F(ServeEndToEnd, FfprobeSeesTheServedStreamsAndSigintEndsCleanly) {
    uint16_t port = freeTcpPort();
    ChildProcess server;
    ASSERT_TRUE(server.start({NERIVO_SERVE_BINARY, "--port", std::to_string(port), "--channel",
                              std::string("cam264=") + path("video.h264") + ",audio=aac:" + path("audio.aac"),
                              "--channel", std::string("cam265=") + path("video.h265")},
                             path("serve.log")));
    ASSERT_TRUE(waitForListener(server, port)) << readFile(path("serve.log"));

    std::string reply = describe(port, "cam264");
    if (reply.rfind("RTSP/1.0 200", 0) != 0) {
        server.signal(SIGINT);
        int status = 0;
        server.waitExit(10s, status);
        GTEST_SKIP() << "the library does not serve streams yet: DESCRIBE got \""
                     << reply.substr(0, reply.find('\r')) << "\"";
    }

    struct Expectation {
        const char* channel;
        std::vector<std::string> codecs;
    } expectations[] = {{"cam264", {"h264", "aac"}}, {"cam265", {"hevc"}}};
    for (const Expectation& expected : expectations) {
        std::string found = probe(port, expected.channel);
        for (const std::string& codec : expected.codecs) {
            EXPECT_NE(found.find(codec + "\n"), std::string::npos) << expected.channel << ": " << found;
        }
    }

    server.signal(SIGINT);
    int status = 0;
    ASSERT_TRUE(server.waitExit(10s, status)) << "still running after SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    std::string log = readFile(path("serve.log"));
    EXPECT_NE(log.find("rtsp://127.0.0.1:" + std::to_string(port) + "/cam264"), std::string::npos) << log;
    EXPECT_NE(log.find("DESCRIBE cam264 (channel 0)"), std::string::npos) << log;
    EXPECT_NE(log.find("PLAY cam265 (channel 1)"), std::string::npos) << log;
}

TEST_F(ServeEndToEnd, BadFileIsRefusedWithAMessage) {
    ChildProcess server;
    ASSERT_TRUE(server.start({NERIVO_SERVE_BINARY, "--port", std::to_string(freeTcpPort()), "--channel",
                              std::string("bad=") + path("audio.aac")},
                             path("serve.log")));
    int status = 0;
    ASSERT_TRUE(server.waitExit(20s, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_NE(readFile(path("serve.log")).find(path("audio.aac")), std::string::npos) << readFile(path("serve.log"));
}

}  // namespace
