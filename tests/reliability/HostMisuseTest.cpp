// Host-side misuse through the C API: odd frames, bad descriptions and calls
// from inside the callback get a return code and a log line, never a crash
// or a hang.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "ReliabilitySupport.h"
#include "TestHost.h"

namespace {

using std::chrono::milliseconds;

// A host whose callback is a function of the test.
class ScriptedHost {
public:
    using Handler = std::function<int(int channelId, int event, MEDIA_DESC_T* desc)>;

    explicit ScriptedHost(int channels = 2) {
        for (int i = 0; i < channels; ++i) {
            CHANNEL_INFO_T info{};
            info.channel_id = i;
            snprintf(info.stream_name, sizeof info.stream_name, "ch%d", i);
            fChannels.push_back(info);
        }
        setHandler(nullptr);
    }
    ~ScriptedHost() { Nerivo_Shutdown(); }

    // Null: every channel is described as H.264.
    void setHandler(Handler handler) {
        std::lock_guard<std::mutex> lock(fMutex);
        fHandler = std::move(handler);
    }
    int start(const char* user = nullptr, const char* password = nullptr) {
        fPort = freeTcpPort();
        return Nerivo_Startup(fPort, 0, nullptr, user, password, callback, this, fChannels.data(),
                              static_cast<unsigned>(fChannels.size()));
    }
    uint16_t port() const { return fPort; }
    std::string url(int channel) const {
        return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/ch" + std::to_string(channel);
    }
    int events(int channel, int event) {
        std::lock_guard<std::mutex> lock(fMutex);
        return fEvents[{channel, event}];
    }

private:
    static int callback(int channelId, int event, MEDIA_DESC_T* desc, void* userPtr) {
        auto* host = static_cast<ScriptedHost*>(userPtr);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(host->fMutex);
            ++host->fEvents[{channelId, event}];
            handler = host->fHandler;
        }
        if (handler) return handler(channelId, event, desc);
        if (event == CHANNEL_EVT_DESCRIBE) *desc = TestHost::h264Description();
        return 0;
    }

    std::vector<CHANNEL_INFO_T> fChannels;
    std::mutex fMutex;
    Handler fHandler;
    std::map<std::pair<int, int>, int> fEvents;
    uint16_t fPort = 0;
};

PUSH_FRAME_T videoFrame(const uint8_t* data, uint32_t length) {
    PUSH_FRAME_T frame{};
    frame.media_type = NERIVO_MEDIA_VIDEO;
    frame.length = length;
    frame.frame_type = NERIVO_FRAME_KEY;
    frame.data = data;
    return frame;
}

// The push's result and what it logged (captured only around the call, so
// that the test's own messages stay visible).
std::pair<int, std::string> pushLogged(int channel, const PUSH_FRAME_T& frame) {
    LogCapture log;
    int result = Nerivo_PushFrame(channel, &frame);
    return {result, log.text()};
}

TEST(HostMisuse, OddFramesGetACodeAndALogLine) {
    ScriptedHost host;
    ASSERT_EQ(host.start(), 0);
    // Frames are only stored once a client has asked for the channel.
    StreamClient client(host.port(), host.url(0), Transport::Tcp);
    ASSERT_TRUE(client.start()) << client.failure();

    std::vector<uint8_t> big(4u << 20, 0x41);
    std::vector<uint8_t> small = makeVideoFrame(1, 100, true, 0);
    struct Case {
        const char* name;
        PUSH_FRAME_T frame;
        int channel;
        int expected;
        const char* logLine;
    } cases[] = {
        {"no data", videoFrame(nullptr, 100), 0, -1, "Frame without data"},
        {"no data and no length", videoFrame(nullptr, 0), 0, -1, "Frame without data"},
        {"zero length", videoFrame(small.data(), 0), 0, -1, "Empty frame"},
        {"video frame beyond the queue", videoFrame(big.data(), static_cast<uint32_t>(big.size())), 0, 0,
         "Buffer too low.."},
        {"audio frame beyond its queue",
         [&] {
             PUSH_FRAME_T f = videoFrame(big.data(), 200 * 1024);
             f.media_type = NERIVO_MEDIA_AUDIO;
             return f;
         }(),
         0, 0, "Buffer too low.."},
        {"unknown channel", videoFrame(small.data(), 100), 99, -1, "Not found the channel id: 99"},
    };
    for (const Case& c : cases) {
        auto [result, text] = pushLogged(c.channel, c.frame);
        EXPECT_EQ(result, c.expected) << c.name;
        EXPECT_NE(text.find(c.logLine), std::string::npos) << c.name << ": " << text;
    }
    // The same misuse before any client asked: the same answer.
    auto [result, text] = pushLogged(1, videoFrame(nullptr, 100));
    EXPECT_EQ(result, -1);
    EXPECT_NE(text.find("Frame without data"), std::string::npos) << text;
    VideoPusher pusher(libraryPush(), {0});
    pusher.start();
    EXPECT_TRUE(client.receiveFrames(5));
}

TEST(HostMisuse, NalUnitsWithStartCodesArePassedOnWithTheFramersLine) {
    ScriptedHost host;
    ASSERT_EQ(host.start(), 0);
    StreamClient client(host.port(), host.url(0), Transport::Tcp);
    ASSERT_TRUE(client.start()) << client.failure();
    auto log = std::make_unique<LogCapture>();
    for (int i = 0; i < 10; ++i) {
        std::vector<uint8_t> nal = makeVideoFrame(static_cast<uint32_t>(i), 200, i == 0, steadyNowNs());
        std::vector<uint8_t> annexB = {0, 0, 0, 1};
        annexB.insert(annexB.end(), nal.begin(), nal.end());
        PUSH_FRAME_T frame = videoFrame(annexB.data(), static_cast<uint32_t>(annexB.size()));
        EXPECT_EQ(Nerivo_PushFrame(0, &frame), 0);
        std::this_thread::sleep_for(milliseconds(20));
    }
    client.receiveFor(300);
    std::string text = log->text();
    log.reset();
    EXPECT_GE(client.packets(), 10u) << "the units are sent as they are";
    EXPECT_NE(text.find("H264VideoStreamDiscreteFramer error: MPEG 'start code' seen in the input"),
              std::string::npos)
        << text;
    // Sound units afterwards stream normally.
    VideoPusher pusher(libraryPush(), {0});
    pusher.start();
    EXPECT_TRUE(client.receiveFrames(5));
}

MEDIA_DESC_T description(const std::function<void(MEDIA_DESC_T&)>& change) {
    MEDIA_DESC_T desc = TestHost::h264Description();
    change(desc);
    return desc;
}

TEST(HostMisuse, BadDescriptionsNeverCrash) {
    struct Case {
        const char* name;
        MEDIA_DESC_T desc;
        bool served;  // the DESCRIBE gets a session description
    } cases[] = {
        {"no video codec", description([](MEDIA_DESC_T& d) { d.video_codec = 0; }), false},
        {"no SPS", description([](MEDIA_DESC_T& d) { d.sps_length = 0; }), false},
        {"SPS longer than its array", description([](MEDIA_DESC_T& d) { d.sps_length = 300; }), false},
        {"PPS longer than its array", description([](MEDIA_DESC_T& d) { d.pps_length = 259; }), false},
        {"VPS longer than its array", description([](MEDIA_DESC_T& d) {
             d.video_codec = NERIVO_CODEC_H265;
             d.vps_length = 256;
         }), false},
        {"lengths near 2^32", description([](MEDIA_DESC_T& d) { d.sps_length = 0xFFFFFFFFu; }), false},
        {"unknown video codec alone", description([](MEDIA_DESC_T& d) { d.video_codec = 0x99; }), false},
        {"one-byte SPS", description([](MEDIA_DESC_T& d) { d.sps_length = 1; }), true},
        {"H.265 without VPS", description([](MEDIA_DESC_T& d) { d.video_codec = NERIVO_CODEC_H265; }), true},
        {"unknown audio codec", description([](MEDIA_DESC_T& d) {
             d.audio_codec = 0x1234;
             d.audio_sample_rate = 8000;
             d.audio_channels = 1;
         }), true},
        {"AAC at rate 0", description([](MEDIA_DESC_T& d) {
             d.audio_codec = NERIVO_CODEC_AAC;
             d.audio_channels = 1;
         }), true},
        {"AAC with 0 channels", description([](MEDIA_DESC_T& d) {
             d.audio_codec = NERIVO_CODEC_AAC;
             d.audio_sample_rate = 48000;
         }), true},
        {"AAC at an odd rate and 255 channels", description([](MEDIA_DESC_T& d) {
             d.audio_codec = NERIVO_CODEC_AAC;
             d.audio_sample_rate = 4294967295u;
             d.audio_channels = 255;
         }), true},
        {"G.726 at 99 kbit/s", description([](MEDIA_DESC_T& d) {
             d.audio_codec = NERIVO_CODEC_G726;
             d.audio_sample_rate = 8000;
             d.audio_channels = 1;
             d.audio_bits = 99;
         }), true},
        {"PCMU at 1 Hz", description([](MEDIA_DESC_T& d) {
             d.audio_codec = NERIVO_CODEC_PCMU;
             d.audio_sample_rate = 1;
             d.audio_channels = 1;
         }), true},
    };
    ScriptedHost host;
    const MEDIA_DESC_T* current = nullptr;
    host.setHandler([&](int, int event, MEDIA_DESC_T* desc) {
        if (event == CHANNEL_EVT_DESCRIBE) *desc = *current;
        return 0;
    });
    ASSERT_EQ(host.start(), 0);
    VideoPusher pusher(libraryPush(), {0});
    pusher.start();
    for (const Case& c : cases) {
        current = &c.desc;
        auto log = std::make_unique<LogCapture>();
        RtspTestClient client(host.port());
        RtspResponse describe = client.describe(host.url(0));
        std::string text = log->text();
        log.reset();
        EXPECT_EQ(describe.status, c.served ? 200 : 404) << c.name << "\n" << describe.text;
        if (!c.served) {
            EXPECT_NE(text.find("Invalid media description"), std::string::npos) << c.name << ": " << text;
        } else {
            // Whatever was described streams, or is refused, without harm.
            StreamClient viewer(host.port(), host.url(0), Transport::Tcp);
            if (viewer.start()) viewer.receiveFor(200);
        }
        EXPECT_EQ(Nerivo_ResetChannel(0), 0);
        std::this_thread::sleep_for(milliseconds(50));
    }
    // A sound description afterwards works.
    MEDIA_DESC_T sound = TestHost::h264Description();
    current = &sound;
    StreamClient viewer(host.port(), host.url(0), Transport::Tcp);
    ASSERT_TRUE(viewer.start()) << viewer.failure();
    EXPECT_TRUE(viewer.receiveFrames(5));
}

// Every exported function called from inside every event of the callback.
TEST(HostMisuse, CallsFromInsideTheCallbackReturnWithoutDeadlock) {
    ScriptedHost host;
    std::mutex mutex;
    std::map<std::string, int> results;
    std::vector<uint8_t> nal = makeVideoFrame(0, 500, true, 0);
    host.setHandler([&](int channelId, int event, MEDIA_DESC_T* desc) {
        if (event == CHANNEL_EVT_DESCRIBE) *desc = TestHost::h264Description();
        PUSH_FRAME_T frame = videoFrame(nal.data(), static_cast<uint32_t>(nal.size()));
        std::string prefix = std::to_string(event) + ":";
        int push = Nerivo_PushFrame(channelId, &frame);
        int resetOther = Nerivo_ResetChannel(1 - channelId);
        int add = Nerivo_AddUser("guest", "secret");
        int del = Nerivo_DelUser("guest");
        CHANNEL_INFO_T other{};
        int startAgain = Nerivo_Startup(9, 0, nullptr, nullptr, nullptr, nullptr, nullptr, &other, 1);
        int shutdown = Nerivo_Shutdown();
        std::lock_guard<std::mutex> lock(mutex);
        results[prefix + "push"] = push;
        results[prefix + "reset"] = resetOther;
        results[prefix + "add"] = add;
        results[prefix + "del"] = del;
        results[prefix + "startup"] = startAgain;
        results[prefix + "shutdown"] = shutdown;
        return 0;
    });
    ASSERT_EQ(host.start("admin", "admin"), 0);
    {
        StreamClient client(host.port(), host.url(0), Transport::Tcp);
        auto started = std::async(std::launch::async, [&] { return client.start(basicCredentials("admin", "admin")); });
        ASSERT_EQ(started.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
        EXPECT_TRUE(started.get()) << client.failure();
        client.rtsp().teardown(host.url(0));
    }
    ASSERT_TRUE(host.events(0, CHANNEL_EVT_STOP) >= 1 || waitUntil([&] { return host.events(0, CHANNEL_EVT_STOP) >= 1; }, 3000));
    std::lock_guard<std::mutex> lock(mutex);
    for (int event : {CHANNEL_EVT_DESCRIBE, CHANNEL_EVT_PLAY, CHANNEL_EVT_STOP}) {
        std::string prefix = std::to_string(event) + ":";
        ASSERT_EQ(results.count(prefix + "push"), 1u) << "event " << event << " never came";
        EXPECT_EQ(results[prefix + "shutdown"], -7) << event;
        EXPECT_EQ(results[prefix + "startup"], 0) << event << ": already running, nothing changes";
        EXPECT_EQ(results[prefix + "reset"], 0) << event;
        EXPECT_EQ(results[prefix + "add"], 0) << event;
        EXPECT_EQ(results[prefix + "del"], 0) << event;
        EXPECT_GE(results[prefix + "push"], -1) << event;
    }
    // The server is still there.
    host.setHandler(nullptr);
    StreamClient after(host.port(), host.url(0), Transport::Tcp);
    EXPECT_TRUE(after.start(basicCredentials("admin", "admin"))) << after.failure();
}

}  // namespace
