// Pushing file media in real time and live Annex-B input as it arrives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "AudioFile.h"
#include "ChannelPusher.h"
#include "FrameSink.h"
#include "LiveVideoStream.h"
#include "PushRecorder.h"
#include "VideoFile.h"

using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdrA = {0x65, 0x88, 0x84, 0x21};
const Bytes kIdrB = {0x65, 0x40, 0x21, 0x12};
const Bytes kP1 = {0x41, 0x9A, 0x02, 0x03};
const Bytes kP2 = {0x41, 0x9A, 0x04, 0x05};

std::vector<PushedFrame> ofType(uint32_t mediaType) {
    std::vector<PushedFrame> selected;
    for (const PushedFrame& frame : PushRecorder::frames()) {
        if (frame.mediaType == mediaType) selected.push_back(frame);
    }
    return selected;
}

class PusherTest : public ::testing::Test {
protected:
    void SetUp() override { PushRecorder::clear(); }
    FrameSink fSink{&PushRecorder::push, 7, "test"};
};

// Two loops of SPS PPS IDR IDR | P1 | P2 at 200 fps, with 20 ms audio blocks
// on the same timeline.
TEST_F(PusherTest, FilesLoopWithOneTimePerAccessUnit) {
    TempFile videoFile(".h264", annexB({kSps, kPps, kIdrA, kIdrB, kP1, kP2}));
    Bytes pcm(160 * 2);
    pcm[160] = 0xAA;
    TempFile audioFile(".ul", pcm);
    VideoFile video;
    AudioFile audio;
    std::string error;
    ASSERT_TRUE(video.load(videoFile.path(), VideoCodec::Unknown, error)) << error;
    ASSERT_TRUE(audio.load(AudioOptions{AudioCodec::Pcmu, audioFile.path(), 8000, 1, 0}, error)) << error;

    ChannelPusher pusher(fSink, &video, &audio, 200.0);
    pusher.launch();
    pusher.play();
    ASSERT_TRUE(PushRecorder::waitFor(NERIVO_MEDIA_AUDIO, 3));
    ASSERT_TRUE(PushRecorder::waitFor(NERIVO_MEDIA_VIDEO, 12));
    pusher.stop();

    std::vector<PushedFrame> videoFrames = ofType(NERIVO_MEDIA_VIDEO);
    const std::vector<Bytes> order = {kSps, kPps, kIdrA, kIdrB, kP1, kP2};
    const uint32_t types[] = {1, 1, 1, 1, 0, 0};
    const int accessUnitOf[] = {0, 0, 0, 0, 1, 2};
    int64_t origin = videoFrames[0].stampUs;
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(videoFrames[i].data, order[i % 6]) << i;
        EXPECT_EQ(videoFrames[i].frameType, types[i % 6]) << i;
        EXPECT_EQ(videoFrames[i].channel, 7);
        int64_t accessUnit = accessUnitOf[i % 6] + 3 * static_cast<int64_t>(i / 6);
        EXPECT_NEAR(videoFrames[i].stampUs - origin, accessUnit * 5000, 1) << i;
    }
    std::vector<PushedFrame> audioFrames = ofType(NERIVO_MEDIA_AUDIO);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(audioFrames[i].data.size(), 160u);
        EXPECT_EQ(audioFrames[i].data[0], i % 2 ? 0xAA : 0x00) << i;
        EXPECT_NEAR(audioFrames[i].stampUs - origin, static_cast<int64_t>(i) * 20000, 1) << i;
    }
}

TEST_F(PusherTest, StopHaltsAndPlayStartsOver) {
    TempFile videoFile(".h264", annexB({kSps, kPps, kIdrA, kP1, kP2}));
    VideoFile video;
    std::string error;
    ASSERT_TRUE(video.load(videoFile.path(), VideoCodec::Unknown, error)) << error;
    ChannelPusher pusher(fSink, &video, nullptr, 100.0);
    pusher.launch();
    pusher.play();
    ASSERT_TRUE(PushRecorder::waitFor(NERIVO_MEDIA_VIDEO, 4));
    pusher.stop();
    // A unit being pushed when stop() came may still land; then nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t stopped = PushRecorder::count(NERIVO_MEDIA_VIDEO);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(PushRecorder::count(NERIVO_MEDIA_VIDEO), stopped);

    pusher.play();
    ASSERT_TRUE(PushRecorder::waitFor(NERIVO_MEDIA_VIDEO, stopped + 1));
    std::vector<PushedFrame> frames = ofType(NERIVO_MEDIA_VIDEO);
    EXPECT_EQ(frames[stopped].data, kSps);
    EXPECT_GT(frames[stopped].stampUs, frames[stopped - 1].stampUs);
    pusher.quit();
    pusher.play();  // after quit: nothing more
    size_t quitted = PushRecorder::count(NERIVO_MEDIA_VIDEO);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(PushRecorder::count(NERIVO_MEDIA_VIDEO), quitted);
}

struct LiveCase {
    const char* what;
    std::vector<Bytes> units;
    uint32_t codecId;
    size_t vpsLength;
    std::vector<int> accessUnitOf;
};

const LiveCase kLiveCases[] = {
    {"H.264", {kSps, kPps, kIdrA, kIdrB, kP1, kP2}, NERIVO_CODEC_H264, 0, {0, 0, 0, 0, 1, 2}},
    {"H.265",
     {{0x40, 0x01, 0x0C}, {0x42, 0x01, 0x01}, {0x44, 0x01, 0xC1}, {0x4E, 0x01, 0x05}, {0x26, 0x01, 0xAF},
      {0x02, 0x01, 0xD0}},
     NERIVO_CODEC_H265, 3, {0, 0, 0, 0, 0, 1}},
};

// Written in uneven pieces into a pipe; every unit is pushed in order, the
// last one once the input ends.
TEST_F(PusherTest, LiveInputIsPushedAndDescribed) {
    for (const LiveCase& c : kLiveCases) {
        PushRecorder::clear();
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        LiveVideoStream live(fSink, ends[0], VideoCodec::Unknown, 25.0);
        live.launch();
        MEDIA_DESC_T desc{};
        EXPECT_FALSE(live.describe(desc, std::chrono::milliseconds(20))) << c.what << ": nothing seen yet";

        Bytes stream = annexB(c.units);
        for (size_t at = 0, piece = 1; at < stream.size(); at += piece, piece += 2) {
            ASSERT_GT(write(ends[1], stream.data() + at, std::min(piece, stream.size() - at)), 0);
        }
        ASSERT_TRUE(live.describe(desc, std::chrono::seconds(10))) << c.what;
        EXPECT_EQ(desc.video_codec, c.codecId) << c.what;
        EXPECT_EQ(desc.vps_length, c.vpsLength) << c.what;
        EXPECT_EQ(Bytes(desc.pps, desc.pps + desc.pps_length), c.units[c.vpsLength ? 2 : 1]) << c.what;

        close(ends[1]);
        ASSERT_TRUE(PushRecorder::waitFor(NERIVO_MEDIA_VIDEO, c.units.size())) << c.what;
        live.stop();
        EXPECT_TRUE(live.ended());
        close(ends[0]);
        std::vector<PushedFrame> frames = ofType(NERIVO_MEDIA_VIDEO);
        ASSERT_EQ(frames.size(), c.units.size()) << c.what;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].data, c.units[i]) << c.what << " unit " << i;
            if (i == 0) continue;
            bool sameAccessUnit = c.accessUnitOf[i] == c.accessUnitOf[i - 1];
            if (sameAccessUnit) EXPECT_EQ(frames[i].stampUs, frames[i - 1].stampUs) << c.what << " unit " << i;
            else EXPECT_GT(frames[i].stampUs, frames[i - 1].stampUs) << c.what << " unit " << i;
        }
    }
}

TEST_F(PusherTest, LiveDescribeGivesUpWhenTheInputEnds) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    LiveVideoStream live(fSink, ends[0], VideoCodec::H264, 25.0);
    live.launch();
    Bytes onlySps = annexB({kSps});
    ASSERT_GT(write(ends[1], onlySps.data(), onlySps.size()), 0);
    close(ends[1]);
    MEDIA_DESC_T desc{};
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(live.describe(desc, std::chrono::seconds(30)));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20)) << "waited for the time-out";
    EXPECT_TRUE(live.ended());
    live.stop();
    close(ends[0]);
}

}  // namespace
