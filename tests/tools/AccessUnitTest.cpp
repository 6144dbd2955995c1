// Access-unit boundaries, key units and codec detection from NAL headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AccessUnitSplitter.h"
#include "NalUnit.h"
#include "VideoCodecDetector.h"

using Bytes = std::vector<uint8_t>;

namespace {

struct Unit {
    Bytes bytes;
    bool begins;  // first unit of an access unit
    bool key;
};

// H.264: the first slice of a picture has first_mb_in_slice 0, i.e. the top
// bit of the byte after the header set.
const std::vector<Unit> kH264 = {
    {{0x09, 0xF0}, true, false},              // access unit delimiter
    {{0x67, 0x64, 0x00, 0x1F}, false, true},  // SPS
    {{0x68, 0xEE, 0x3C}, false, true},        // PPS
    {{0x06, 0x05, 0x10}, false, false},       // SEI
    {{0x65, 0x88, 0x84}, false, true},        // IDR, first slice
    {{0x65, 0x40, 0x21}, false, true},        // IDR, second slice
    {{0x41, 0x9A, 0x02}, true, false},        // P picture without delimiter
    {{0x41, 0x00, 0x9A}, false, false},       // its second slice
    {{0x01, 0x9E, 0x11}, true, false},        // non-reference picture
    {{0x06, 0x01, 0x04}, true, false},        // SEI opens the next one
    {{0x67, 0x64, 0x00, 0x1F}, false, true},
    {{0x68, 0xEE, 0x3C}, false, true},
    {{0x65, 0xB8, 0x40}, false, true},
    {{0x0C, 0xFF}, false, false},             // filler stays with its picture
};

// H.265: first_slice_segment_in_pic_flag is the top bit after two header bytes.
const std::vector<Unit> kH265 = {
    {{0x40, 0x01, 0x0C}, true, true},         // VPS
    {{0x42, 0x01, 0x01}, false, true},        // SPS
    {{0x44, 0x01, 0xC1}, false, true},        // PPS
    {{0x4E, 0x01, 0x05}, false, false},       // prefix SEI
    {{0x26, 0x01, 0xAF, 0x10}, false, true},  // IDR_W_RADL, first segment
    {{0x26, 0x01, 0x20, 0x10}, false, true},  // second segment
    {{0x50, 0x01, 0x05}, false, false},       // suffix SEI stays
    {{0x02, 0x01, 0xD0, 0x11}, true, false},  // TRAIL_R
    {{0x02, 0x01, 0x60, 0x11}, false, false},
    {{0x46, 0x01, 0x50}, true, false},        // delimiter
    {{0x2A, 0x01, 0xAD, 0x10}, false, true},  // CRA
    {{0x00, 0x01, 0xE0, 0x12}, true, false},  // TRAIL_N
};

void expectUnits(VideoCodec codec, const std::vector<Unit>& units) {
    AccessUnitSplitter splitter(codec);
    for (size_t i = 0; i < units.size(); ++i) {
        const Bytes& bytes = units[i].bytes;
        EXPECT_EQ(splitter.beginsAccessUnit(bytes.data(), bytes.size()), units[i].begins)
            << videoCodecName(codec) << " unit " << i;
        EXPECT_EQ(isKeyUnit(codec, bytes.data(), bytes.size()), units[i].key) << videoCodecName(codec) << " unit " << i;
    }
}

TEST(AccessUnitSplitter, H264Boundaries) { expectUnits(VideoCodec::H264, kH264); }
TEST(AccessUnitSplitter, H265Boundaries) { expectUnits(VideoCodec::H265, kH265); }

VideoCodec detect(const std::vector<Unit>& units) {
    VideoCodecDetector detector;
    for (const Unit& unit : units) detector.offer(unit.bytes.data(), unit.bytes.size());
    return detector.conclude();
}

TEST(VideoCodecDetector, TellsTheCodecsApart) {
    EXPECT_EQ(detect(kH264), VideoCodec::H264);
    EXPECT_EQ(detect(kH265), VideoCodec::H265);
    // Decided early, before the first picture of a stream is complete.
    VideoCodecDetector detector;
    for (size_t i = 1; i <= 4; ++i) detector.offer(kH264[i].bytes.data(), kH264[i].bytes.size());
    EXPECT_EQ(detector.decided(), VideoCodec::H264);
    // Units that read as both codecs (SPS and PPS of H.265) decide nothing.
    VideoCodecDetector open;
    for (size_t i = 1; i <= 2; ++i) open.offer(kH265[i].bytes.data(), kH265[i].bytes.size());
    EXPECT_EQ(open.decided(), VideoCodec::Unknown);
    EXPECT_EQ(open.conclude(), VideoCodec::Unknown);
}

}  // namespace
