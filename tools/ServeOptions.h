// The command line of nerivo-serve.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class AudioCodec { None, Pcmu, Pcma, G726, Aac };

struct AudioOptions {
    AudioCodec codec = AudioCodec::None;
    std::string file;
    unsigned sampleRate = 0;  // Hz; for AAC taken from the stream
    unsigned channels = 0;    // for AAC taken from the stream
    unsigned bits = 0;        // G.726 rate in kbit/s
};

struct ChannelOptions {
    std::string name;
    std::string video;  // an Annex-B file, or "-" for standard input
    bool h265 = false;  // skip codec detection
    double fps = 25.0;
    AudioOptions audio;

    bool isLive() const { return video == "-"; }
};

struct ServeOptions {
    uint16_t port = 8554;
    std::string user;
    std::string password;
    std::string realm;
    bool digest = false;
    bool help = false;
    std::vector<ChannelOptions> channels;  // empty: the ffmpeg test pattern
};

// Fills `options` from the command line; false with a message in `error`.
bool parseServeOptions(int argc, char* const* argv, ServeOptions& options, std::string& error);
// "NAME=VIDEO[,audio=CODEC:FILE][,rate=HZ][,channels=N][,bits=K][,fps=F][,h265]"
bool parseChannelSpec(const std::string& channelSpec, ChannelOptions& channel, std::string& error);
const char* audioCodecName(AudioCodec codec);
// The --help text.
const char* serveUsage();
