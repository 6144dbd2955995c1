// The nerivo-serve command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Nerivo.h"
#include "ServeOptions.h"

namespace {

bool parse(std::vector<std::string> words, ServeOptions& options, std::string& error) {
    words.insert(words.begin(), "nerivo-serve");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return parseServeOptions(static_cast<int>(words.size()), argv.data(), options, error);
}

TEST(ServeOptions, NoArgumentsMeanTheTestPattern) {
    ServeOptions options;
    std::string error;
    ASSERT_TRUE(parse({}, options, error)) << error;
    EXPECT_EQ(options.port, 8554);
    EXPECT_TRUE(options.channels.empty());
    EXPECT_TRUE(options.user.empty());
}

TEST(ServeOptions, FullCommandLine) {
    ServeOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--port", "9000", "--user", "admin", "--password", "secret", "--digest", "--realm", "cams",
                       "--channel", "cam1=a.h264,audio=aac:a.aac,fps=30", "--channel", "cam2=b.h265", "--h265",
                       "--channel", "cam3=-,audio=pcma:c.al,rate=16000,channels=2", "--channel",
                       "cam4=d.h264,audio=g726:d.g726,bits=24"},
                      options, error))
        << error;
    EXPECT_EQ(options.port, 9000);
    EXPECT_EQ(options.user, "admin");
    EXPECT_EQ(options.password, "secret");
    EXPECT_TRUE(options.digest);
    EXPECT_EQ(options.realm, "cams");
    ASSERT_EQ(options.channels.size(), 4u);
    const ChannelOptions& cam1 = options.channels[0];
    EXPECT_EQ(cam1.name, "cam1");
    EXPECT_EQ(cam1.video, "a.h264");
    EXPECT_DOUBLE_EQ(cam1.fps, 30.0);
    EXPECT_EQ(cam1.audio.codec, AudioCodec::Aac);
    EXPECT_EQ(cam1.audio.file, "a.aac");
    EXPECT_FALSE(cam1.h265);
    EXPECT_TRUE(options.channels[1].h265);
    EXPECT_DOUBLE_EQ(options.channels[1].fps, 25.0);
    const ChannelOptions& cam3 = options.channels[2];
    EXPECT_TRUE(cam3.isLive());
    EXPECT_EQ(cam3.audio.codec, AudioCodec::Pcma);
    EXPECT_EQ(cam3.audio.sampleRate, 16000u);
    EXPECT_EQ(cam3.audio.channels, 2u);
    const AudioOptions& g726 = options.channels[3].audio;
    EXPECT_EQ(g726.bits, 24u);
    EXPECT_EQ(g726.sampleRate, 8000u);
    EXPECT_EQ(g726.channels, 1u);
}

TEST(ServeOptions, AudioDefaults) {
    ChannelOptions channel;
    std::string error;
    ASSERT_TRUE(parseChannelSpec("c=v.h264,audio=pcmu:a.ul", channel, error)) << error;
    EXPECT_EQ(channel.audio.sampleRate, 8000u);
    EXPECT_EQ(channel.audio.channels, 1u);
    ASSERT_TRUE(parseChannelSpec("c=v.h264,audio=g726:a.g726", channel, error)) << error;
    EXPECT_EQ(channel.audio.bits, 32u);
    ASSERT_TRUE(parseChannelSpec("c=v.h264,h265", channel, error)) << error;
    EXPECT_TRUE(channel.h265);
    EXPECT_EQ(channel.audio.codec, AudioCodec::None);
}

TEST(ServeOptions, BadInputIsRefusedWithAMessage) {
    const std::string tooLong(36, 'x');
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "0"},
        {"--port", "65536"},
        {"--port", "12ab"},
        {"--port"},
        {"--bogus"},
        {"stray"},
        {"--user", "admin"},
        {"--password", "secret"},
        {"--digest"},
        {"--realm", "r"},
        {"--user", tooLong, "--password", "p"},
        {"--user", "u", "--password", "p", "--realm", std::string(64, 'r')},
        {"--h265"},
        {"--channel", "cam1"},
        {"--channel", "=a.h264"},
        {"--channel", "cam1="},
        {"--channel", "my cam=a.h264"},
        {"--channel", "a/b=a.h264"},
        {"--channel", std::string(64, 'n') + "=a.h264"},
        {"--channel", "c=a.h264,fps=0"},
        {"--channel", "c=a.h264,fps=abc"},
        {"--channel", "c=a.h264,colour=red"},
        {"--channel", "c=a.h264,audio=mp3:a.mp3"},
        {"--channel", "c=a.h264,audio=aac"},
        {"--channel", "c=a.h264,audio=aac:"},
        {"--channel", "c=a.h264,audio=aac:a.aac,rate=48000"},
        {"--channel", "c=a.h264,audio=pcmu:a.ul,bits=32"},
        {"--channel", "c=a.h264,audio=pcmu:a.ul,rate=8020"},
        {"--channel", "c=a.h264,audio=g726:a.g726,bits=20"},
        {"--channel", "c=a.h264,audio=g726:a.g726,rate=16000"},
        {"--channel", "c=a.h264,rate=8000"},
        {"--channel", "c=a.h264", "--channel", "c=b.h264"},
        {"--channel", "a=-", "--channel", "b=-"},
    };
    for (const auto& words : cases) {
        ServeOptions options;
        std::string error;
        std::string line;
        for (const std::string& word : words) line += word.substr(0, 20) + " ";
        EXPECT_FALSE(parse(words, options, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(ServeOptions, HelpIsAnOption) {
    ServeOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--help"}, options, error));
    EXPECT_TRUE(options.help);
    EXPECT_NE(std::string(serveUsage()).find("--channel"), std::string::npos);
}

}  // namespace
