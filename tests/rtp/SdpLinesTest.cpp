// The SDP lines of the sinks: a=fmtp from real parameter sets (made with
// ffmpeg), the cases that yield no line, rtpmap lines and media types.
#include <gtest/gtest.h>

#include <map>

#include "MediaFiles.h"
#include "RtpTestEnv.h"
#include "rtp/Base64.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H265VideoRTPSink.h"
#include "rtp/MPEG4GenericRTPSink.h"
#include "rtp/SimpleRTPSink.h"

namespace {

struct ParameterSets {
    std::vector<uint8_t> vps, sps, pps;
};

ParameterSets parameterSetsOf(int hNumber, const std::vector<uint8_t>& stream) {
    ParameterSets sets;
    for (const auto& nal : splitAnnexB(stream)) {
        if (nal.empty()) continue;
        unsigned type = hNumber == 264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
        if (hNumber == 264 && type == 7 && sets.sps.empty()) sets.sps = nal;
        if (hNumber == 264 && type == 8 && sets.pps.empty()) sets.pps = nal;
        if (hNumber == 265 && type == 32 && sets.vps.empty()) sets.vps = nal;
        if (hNumber == 265 && type == 33 && sets.sps.empty()) sets.sps = nal;
        if (hNumber == 265 && type == 34 && sets.pps.empty()) sets.pps = nal;
    }
    return sets;
}

std::vector<uint8_t> decode(const std::string& text) {
    std::vector<uint8_t> out(base64DecodedMax(text.size()));
    size_t length = 0;
    EXPECT_TRUE(base64Decode(text.c_str(), text.size(), out.data(), out.size(), length));
    out.resize(length);
    return out;
}

// What ffprobe reports about the stream's first video track.
std::string probe(const std::string& path, const std::string& entry) {
    std::string command = "ffprobe -v error -select_streams v:0 -show_entries stream=" + entry +
                          " -of default=noprint_wrappers=1:nokey=1 '" + path + "' > '" + path + ".probe'";
    if (!runCommand(command)) return "";
    std::vector<uint8_t> text = readFile(path + ".probe");
    std::string value(text.begin(), text.end());
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

// "a=fmtp:<pt> k=v;k=v\r\n" as a map; empty when the line has another shape.
std::map<std::string, std::string> fmtpParameters(const std::string& line, const std::string& prefix) {
    std::map<std::string, std::string> parameters;
    if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 2 ||
        line.compare(line.size() - 2, 2, "\r\n") != 0) {
        return parameters;
    }
    std::string body = line.substr(prefix.size(), line.size() - prefix.size() - 2);
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find(';', start);
        if (end == std::string::npos) end = body.size();
        std::string item = body.substr(start, end - start);
        size_t equals = item.find('=');
        if (equals == std::string::npos) return {};
        parameters[item.substr(0, equals)] = item.substr(equals + 1);
        start = end + 1;
    }
    return parameters;
}

std::vector<std::string> splitComma(const std::string& text) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) return {text};
    return {text.substr(0, comma), text.substr(comma + 1)};
}

class SdpLinesTest : public RtpTestEnv {
protected:
    void SetUp() override {
        RtpTestEnv::SetUp();
        gs = Groupsock::createNew(*env, 0);
    }
    void TearDown() override {
        Medium::close(gs);
        RtpTestEnv::TearDown();
    }
    Groupsock* gs = nullptr;
};

TEST_F(SdpLinesTest, H264LineFromAnEncodedStream) {
    TempDir dir;
    std::vector<uint8_t> stream = makeVideoStream(dir, 264);
    ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the H.264 stream";
    ParameterSets sets = parameterSetsOf(264, stream);
    ASSERT_FALSE(sets.sps.empty());
    ASSERT_FALSE(sets.pps.empty());
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(
        *env, gs, 96, sets.sps.data(), static_cast<unsigned>(sets.sps.size()), sets.pps.data(),
        static_cast<unsigned>(sets.pps.size()));
    ASSERT_NE(sink->auxSDPLine(), nullptr);
    std::string line = sink->auxSDPLine();
    auto parameters = fmtpParameters(line, "a=fmtp:96 ");
    ASSERT_EQ(parameters.size(), 3u) << line;
    EXPECT_EQ(parameters["packetization-mode"], "1");
    std::string profileLevel = parameters["profile-level-id"];
    ASSERT_EQ(profileLevel.size(), 6u);
    EXPECT_EQ(profileLevel.find_first_not_of("0123456789ABCDEF"), std::string::npos);  // upper-case hex
    unsigned profileLevelId = std::stoul(profileLevel, nullptr, 16);
    EXPECT_EQ(profileLevelId >> 16, 100u);  // libx264 default: High profile
    EXPECT_EQ(std::to_string(profileLevelId & 0xFF), probe(dir.path() + "/out.h264", "level"));
    std::vector<std::string> sprop = splitComma(parameters["sprop-parameter-sets"]);
    ASSERT_EQ(sprop.size(), 2u);
    EXPECT_TRUE(decode(sprop[0]) == sets.sps);
    EXPECT_TRUE(decode(sprop[1]) == sets.pps);
    EXPECT_EQ(sink->rtpmapLine(), "a=rtpmap:96 H264/90000\r\n");
    EXPECT_STREQ(sink->sdpMediaType(), "video");
    Medium::close(sink);
}

TEST_F(SdpLinesTest, H265LineFromAnEncodedStream) {
    if (!ffmpegHasEncoder("libx265")) GTEST_SKIP() << "no libx265 in this ffmpeg";
    TempDir dir;
    std::vector<uint8_t> stream = makeVideoStream(dir, 265);
    ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the H.265 stream";
    ParameterSets sets = parameterSetsOf(265, stream);
    ASSERT_FALSE(sets.vps.empty());
    H265VideoRTPSink* sink = H265VideoRTPSink::createNew(
        *env, gs, 96, sets.vps.data(), static_cast<unsigned>(sets.vps.size()), sets.sps.data(),
        static_cast<unsigned>(sets.sps.size()), sets.pps.data(), static_cast<unsigned>(sets.pps.size()));
    ASSERT_NE(sink->auxSDPLine(), nullptr);
    std::string line = sink->auxSDPLine();
    // The parameters in this order, as the line is specified.
    EXPECT_EQ(line.rfind("a=fmtp:96 profile-space=", 0), 0u) << line;
    const char* order[] = {"profile-space=", ";profile-id=", ";tier-flag=", ";level-id=",
                           ";interop-constraints=", ";sprop-vps=", ";sprop-sps=", ";sprop-pps="};
    size_t at = 0;
    for (const char* key : order) {
        size_t found = line.find(key, at);
        ASSERT_NE(found, std::string::npos) << key;
        at = found;
    }
    auto parameters = fmtpParameters(line, "a=fmtp:96 ");
    ASSERT_EQ(parameters.size(), 8u) << line;
    EXPECT_EQ(parameters["profile-space"], "0");
    EXPECT_EQ(parameters["profile-id"], "1");  // Main
    EXPECT_EQ(parameters["tier-flag"], "0");
    EXPECT_EQ(parameters["level-id"], probe(dir.path() + "/out.h265", "level"));
    EXPECT_EQ(parameters["interop-constraints"].size(), 12u);
    EXPECT_TRUE(decode(parameters["sprop-vps"]) == sets.vps);
    EXPECT_TRUE(decode(parameters["sprop-sps"]) == sets.sps);
    EXPECT_TRUE(decode(parameters["sprop-pps"]) == sets.pps);
    EXPECT_EQ(sink->rtpmapLine(), "a=rtpmap:96 H265/90000\r\n");
    Medium::close(sink);
}

TEST_F(SdpLinesTest, ShortParameterSetsGiveNoLine) {
    const std::vector<uint8_t> pps{0x68, 0xCE, 0x3C, 0x80};
    struct H264Case {
        const char* name;
        std::vector<uint8_t> sps;
        std::vector<uint8_t> pps;
        bool line;
    } h264Cases[] = {
        {"4-byte SPS", {0x67, 0x42, 0xC0, 0x1E}, pps, true},
        {"3-byte SPS", {0x67, 0x42, 0xC0}, pps, false},
        {"4 bytes, 3 after emulation prevention", {0x67, 0x00, 0x00, 0x03}, pps, false},
        {"no SPS", {}, pps, false},
        {"no PPS", {0x67, 0x42, 0xC0, 0x1E}, {}, false},
    };
    for (const H264Case& c : h264Cases) {
        SCOPED_TRACE(c.name);
        H264VideoRTPSink* sink = H264VideoRTPSink::createNew(
            *env, gs, 96, c.sps.data(), static_cast<unsigned>(c.sps.size()), c.pps.data(),
            static_cast<unsigned>(c.pps.size()));
        EXPECT_EQ(sink->auxSDPLine() != nullptr, c.line);
        Medium::close(sink);
    }

    std::vector<uint8_t> vps18(18, 0x11);
    vps18[0] = 0x40;
    vps18[1] = 0x01;
    std::vector<uint8_t> vps17(vps18.begin(), vps18.end() - 1);
    std::vector<uint8_t> vps19WithEPB = vps18;  // 19 bytes, 18 after removal
    vps19WithEPB[8] = 0;
    vps19WithEPB[9] = 0;
    vps19WithEPB.insert(vps19WithEPB.begin() + 10, 3);
    std::vector<uint8_t> vps18WithEPB = vps17;  // 18 bytes, 17 after removal
    vps18WithEPB[8] = 0;
    vps18WithEPB[9] = 0;
    vps18WithEPB.insert(vps18WithEPB.begin() + 10, 3);
    const std::vector<uint8_t> sps{0x42, 0x01, 0x01}, pps265{0x44, 0x01, 0xC0};
    struct H265Case {
        const char* name;
        std::vector<uint8_t> vps;
        bool line;
    } h265Cases[] = {
        {"18-byte VPS", vps18, true},
        {"17-byte VPS", vps17, false},
        {"19 bytes, 18 after emulation prevention", vps19WithEPB, true},
        {"18 bytes, 17 after emulation prevention", vps18WithEPB, false},
        {"empty VPS", {}, false},
    };
    for (const H265Case& c : h265Cases) {
        SCOPED_TRACE(c.name);
        H265VideoRTPSink* sink = H265VideoRTPSink::createNew(
            *env, gs, 96, c.vps.data(), static_cast<unsigned>(c.vps.size()), sps.data(), 3,
            pps265.data(), 3);
        EXPECT_EQ(sink->auxSDPLine() != nullptr, c.line);
        Medium::close(sink);
    }
}

TEST_F(SdpLinesTest, RtpmapAndAudioLines) {
    struct Case {
        const char* name;
        unsigned char payloadType;
        unsigned frequency;
        const char* format;
        unsigned channels;
        const char* rtpmap;
    } cases[] = {
        {"PCMU 8000 mono: static type", 0, 8000, "PCMU", 1, ""},
        {"PCMA 8000 mono: static type", 8, 8000, "PCMA", 1, ""},
        {"PCMU 16000 mono", 97, 16000, "PCMU", 1, "a=rtpmap:97 PCMU/16000\r\n"},
        {"PCMU 8000 stereo", 96, 8000, "PCMU", 2, "a=rtpmap:96 PCMU/8000/2\r\n"},
        {"G726-24", 97, 8000, "G726-24", 1, "a=rtpmap:97 G726-24/8000\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimpleRTPSink* sink =
            SimpleRTPSink::createNew(*env, gs, c.payloadType, c.frequency, "audio", c.format, c.channels);
        EXPECT_EQ(sink->rtpmapLine(), c.rtpmap);
        EXPECT_EQ(sink->auxSDPLine(), nullptr);
        EXPECT_STREQ(sink->sdpMediaType(), "audio");
        EXPECT_EQ(sink->rtpPayloadType(), c.payloadType);
        EXPECT_EQ(sink->rtpTimestampFrequency(), c.frequency);
        Medium::close(sink);
    }
    MPEG4GenericRTPSink* aac = MPEG4GenericRTPSink::createNew(*env, gs, 97, 48000, "audio", "AAC-hbr", "1190", 2);
    EXPECT_EQ(aac->rtpmapLine(), "a=rtpmap:97 MPEG4-GENERIC/48000/2\r\n");
    EXPECT_STREQ(aac->auxSDPLine(),
                 "a=fmtp:97 streamtype=5;profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;"
                 "indexdeltalength=3;config=1190\r\n");
    Medium::close(aac);
}

}  // namespace
