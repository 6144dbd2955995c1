// Loading video and audio files into pushable units.
#include <gtest/gtest.h>

#include "AudioFile.h"
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

TEST(VideoFile, IndexesAccessUnitsFromTheFirstIdr) {
    // A picture before the first IDR cannot be decoded: each loop skips it.
    TempFile file(".h264", annexB({kP2, kSps, kPps, kIdrA, kIdrB, kP1, kP2}));
    VideoFile video;
    std::string error;
    ASSERT_TRUE(video.load(file.path(), VideoCodec::Unknown, error)) << error;
    EXPECT_EQ(video.codec(), VideoCodec::H264);
    ASSERT_EQ(video.accessUnitCount(), 4u);
    EXPECT_EQ(video.loopStart(), 1u);
    ASSERT_EQ(video.unitCount(1), 4u);
    ByteSpan idrB = video.unit(1, 3);
    EXPECT_EQ(Bytes(idrB.data, idrB.data + idrB.size), kIdrB);
    EXPECT_EQ(video.frameType(1, 0), 1u);
    EXPECT_EQ(video.frameType(1, 2), 1u);
    EXPECT_EQ(video.frameType(2, 0), 0u);
    MEDIA_DESC_T desc{};
    video.parameterSets().fillDescription(desc);
    EXPECT_EQ(Bytes(desc.sps, desc.sps + desc.sps_length), kSps);
    EXPECT_EQ(Bytes(desc.pps, desc.pps + desc.pps_length), kPps);
    EXPECT_EQ(desc.vps_length, 0u);
}

TEST(VideoFile, RefusesFilesThatCannotBeServed) {
    struct Case {
        const char* what;
        Bytes contents;
        VideoCodec forced;
    } cases[] = {
        {"not Annex-B", Bytes(1000, 0x42), VideoCodec::Unknown},
        {"no IDR picture", annexB({kSps, kPps, kP1, kP2}), VideoCodec::Unknown},
        {"no PPS", annexB({kSps, kIdrA, kP1}), VideoCodec::Unknown},
        {"H.265 without VPS", annexB({{0x42, 0x01, 0x01}, {0x44, 0x01, 0xC1}, {0x26, 0x01, 0xAF}}), VideoCodec::H265},
        {"SPS too long", annexB({[] { Bytes sps(300, 0x11); sps[0] = 0x67; return sps; }(), kPps, kIdrA}),
         VideoCodec::Unknown},
    };
    for (const Case& c : cases) {
        TempFile file(".bin", c.contents);
        VideoFile video;
        std::string error;
        EXPECT_FALSE(video.load(file.path(), c.forced, error)) << c.what;
        EXPECT_NE(error.find(file.path()), std::string::npos) << c.what << ": " << error;
    }
    VideoFile missing;
    std::string error;
    EXPECT_FALSE(missing.load("/nonexistent/video.h264", VideoCodec::Unknown, error));
}

TEST(AudioFile, G711AndG726ComeIn20MsBlocks) {
    struct Case {
        AudioCodec codec;
        unsigned rate, channels, bits;
        uint32_t codecId;
        size_t block;
    } cases[] = {
        {AudioCodec::Pcmu, 8000, 1, 0, NERIVO_CODEC_PCMU, 160},
        {AudioCodec::Pcma, 16000, 2, 0, NERIVO_CODEC_PCMA, 640},
        {AudioCodec::G726, 8000, 1, 16, NERIVO_CODEC_G726, 40},
        {AudioCodec::G726, 8000, 1, 40, NERIVO_CODEC_G726, 100},
    };
    for (const Case& c : cases) {
        Bytes contents(c.block * 3 + c.block / 2);
        for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i);
        TempFile file(".raw", contents);
        AudioOptions options{c.codec, file.path(), c.rate, c.channels, c.bits};
        AudioFile audio;
        std::string error;
        ASSERT_TRUE(audio.load(options, error)) << error;
        EXPECT_EQ(audio.codecId(), c.codecId);
        ASSERT_EQ(audio.frameCount(), 3u) << "the part block at the end is left out";
        EXPECT_EQ(audio.frame(2).size, c.block);
        EXPECT_EQ(audio.frame(2).data[0], static_cast<uint8_t>(2 * c.block));
        EXPECT_DOUBLE_EQ(audio.frameDurationUs(), 20000.0);
        EXPECT_EQ(audio.bits(), c.bits);
    }
}

Bytes adts(const Bytes& payload, unsigned objectType = 2, unsigned rateIndex = 3, unsigned channels = 2,
           unsigned blocks = 1) {
    unsigned length = 7 + static_cast<unsigned>(payload.size());
    Bytes frame = {0xFF, 0xF1, static_cast<uint8_t>(((objectType - 1) << 6) | (rateIndex << 2) | (channels >> 2)),
                   static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)), static_cast<uint8_t>(length >> 3),
                   static_cast<uint8_t>(((length & 7) << 5) | 0x1F), static_cast<uint8_t>(0xFC | (blocks - 1))};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AudioFile, AacAccessUnitsWithoutHeaders) {
    Bytes a(100, 0x21), b(200, 0x22);
    TempFile file(".aac", joined({adts(a), adts(b)}));
    AudioFile audio;
    std::string error;
    ASSERT_TRUE(audio.load(AudioOptions{AudioCodec::Aac, file.path(), 0, 0, 0}, error)) << error;
    EXPECT_EQ(audio.codecId(), NERIVO_CODEC_AAC);
    EXPECT_EQ(audio.sampleRate(), 48000u);
    EXPECT_EQ(audio.channels(), 2u);
    EXPECT_NEAR(audio.frameDurationUs(), 1024e6 / 48000, 1e-6);
    ASSERT_EQ(audio.frameCount(), 2u);
    EXPECT_EQ(Bytes(audio.frame(1).data, audio.frame(1).data + audio.frame(1).size), b);
}

TEST(AudioFile, RefusesAacItCannotDescribe) {
    Bytes payload(50, 0x33);
    struct Case {
        const char* what;
        Bytes contents;
    } cases[] = {
        {"AAC Main", adts(payload, 1)},
        {"two access units per frame", adts(payload, 2, 3, 2, 2)},
        {"channels in the payload", adts(payload, 2, 3, 0)},
        {"rate changes", joined({adts(payload), adts(payload, 2, 4)})},
        {"no frame", Bytes(20, 0x55)},
    };
    for (const Case& c : cases) {
        TempFile file(".aac", c.contents);
        AudioFile audio;
        std::string error;
        EXPECT_FALSE(audio.load(AudioOptions{AudioCodec::Aac, file.path(), 0, 0, 0}, error)) << c.what;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
