#include "ServeOptions.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// Longest strings the library accepts (terminating NUL not counted).
constexpr size_t kMaxCredential = 35;
constexpr size_t kMaxRealm = 63;
constexpr size_t kMaxStreamName = 63;
constexpr size_t kMaxChannels = 1024;

bool parseUnsigned(const std::string& text, unsigned min, unsigned max, unsigned& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long parsed = strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    value = static_cast<unsigned>(parsed);
    return true;
}

bool parseFps(const std::string& text, double& fps) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double parsed = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < 1.0 || parsed > 240.0) return false;
    fps = parsed;
    return true;
}

bool parseAudioCodec(const std::string& text, AudioCodec& codec) {
    static const struct {
        const char* name;
        AudioCodec codec;
    } kCodecs[] = {{"pcmu", AudioCodec::Pcmu}, {"pcma", AudioCodec::Pcma},
                   {"g726", AudioCodec::G726}, {"aac", AudioCodec::Aac}};
    for (const auto& entry : kCodecs) {
        if (text == entry.name) {
            codec = entry.codec;
            return true;
        }
    }
    return false;
}

bool validStreamName(const std::string& name) {
    if (name.empty() || name.size() > kMaxStreamName) return false;
    for (unsigned char c : name) {
        if (c <= ' ' || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '%') return false;
    }
    return true;
}

bool parseAudioSource(const std::string& value, AudioOptions& audio, std::string& error) {
    size_t colon = value.find(':');
    if (colon == std::string::npos || !parseAudioCodec(value.substr(0, colon), audio.codec) ||
        colon + 1 == value.size()) {
        error = "audio= wants CODEC:FILE with CODEC one of pcmu, pcma, g726, aac: " + value;
        return false;
    }
    audio.file = value.substr(colon + 1);
    return true;
}

bool parseChannelOption(const std::string& item, ChannelOptions& channel, std::string& error) {
    if (item == "h265") {
        channel.h265 = true;
        return true;
    }
    size_t equals = item.find('=');
    std::string key = item.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    bool ok = true;
    if (key == "audio") return parseAudioSource(value, channel.audio, error);
    if (key == "rate") ok = parseUnsigned(value, 1000, 96000, channel.audio.sampleRate);
    else if (key == "channels") ok = parseUnsigned(value, 1, 8, channel.audio.channels);
    else if (key == "bits") ok = parseUnsigned(value, 16, 40, channel.audio.bits);
    else if (key == "fps") ok = parseFps(value, channel.fps);
    else {
        error = "unknown channel option: " + item;
        return false;
    }
    if (!ok) error = "bad value in channel option: " + item;
    return ok;
}

bool settleG711(AudioOptions& audio, std::string& error) {
    if (audio.sampleRate == 0) audio.sampleRate = 8000;
    if (audio.channels == 0) audio.channels = 1;
    // Blocks of 20 ms must hold whole samples.
    if (audio.sampleRate % 50 != 0) {
        error = "rate= must be a multiple of 50 Hz for G.711";
        return false;
    }
    return true;
}

bool settleG726(AudioOptions& audio, std::string& error) {
    if (audio.bits == 0) audio.bits = 32;
    if (audio.bits % 8 != 0) {
        error = "bits= must be 16, 24, 32 or 40 for G.726";
        return false;
    }
    if ((audio.sampleRate != 0 && audio.sampleRate != 8000) || (audio.channels != 0 && audio.channels != 1)) {
        error = "G.726 is 8000 Hz mono";
        return false;
    }
    audio.sampleRate = 8000;
    audio.channels = 1;
    return true;
}

// Fills the defaults of the codec and refuses what does not apply to it.
bool settleAudio(AudioOptions& audio, std::string& error) {
    bool hasNumbers = audio.sampleRate != 0 || audio.channels != 0;
    if (audio.bits != 0 && audio.codec != AudioCodec::G726) {
        error = "bits= applies to g726 audio only";
        return false;
    }
    switch (audio.codec) {
    case AudioCodec::None:
        if (hasNumbers) error = "rate= and channels= need audio=";
        return !hasNumbers;
    case AudioCodec::Pcmu:
    case AudioCodec::Pcma: return settleG711(audio, error);
    case AudioCodec::G726: return settleG726(audio, error);
    case AudioCodec::Aac:
        if (hasNumbers) error = "aac takes its rate and channels from the ADTS headers";
        return !hasNumbers;
    }
    return false;
}

bool checkCredentials(const ServeOptions& options, std::string& error) {
    bool hasUser = !options.user.empty();
    bool hasPassword = !options.password.empty();
    if (hasUser != hasPassword) error = "--user and --password go together";
    else if (!hasUser && (options.digest || !options.realm.empty()))
        error = "--digest and --realm need --user and --password";
    else if (options.user.size() > kMaxCredential || options.password.size() > kMaxCredential)
        error = "--user and --password may have at most 35 bytes";
    else if (options.realm.size() > kMaxRealm)
        error = "--realm may have at most 63 bytes";
    return error.empty();
}

bool checkChannels(const ServeOptions& options, std::string& error) {
    std::set<std::string> names;
    unsigned live = 0;
    for (const ChannelOptions& channel : options.channels) {
        if (!names.insert(channel.name).second) {
            error = "channel name given twice: " + channel.name;
            return false;
        }
        if (channel.isLive()) ++live;
    }
    if (live > 1) error = "only one channel can read standard input";
    if (options.channels.size() > kMaxChannels) error = "at most 1024 channels";
    return error.empty();
}

enum OptionId { kPort = 'p', kUser = 'u', kPassword = 'w', kDigest = 'd', kRealm = 'r',
                kChannel = 'c', kH265 = 'H', kHelp = 'h' };

const option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},         {"user", required_argument, nullptr, kUser},
    {"password", required_argument, nullptr, kPassword}, {"digest", no_argument, nullptr, kDigest},
    {"realm", required_argument, nullptr, kRealm},       {"channel", required_argument, nullptr, kChannel},
    {"h265", no_argument, nullptr, kH265},               {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0}};

bool applyOption(int id, const char* argument, ServeOptions& options, std::string& error) {
    unsigned port = 0;
    switch (id) {
    case kPort:
        if (!parseUnsigned(argument, 1, 65535, port)) error = std::string("bad port: ") + argument;
        options.port = static_cast<uint16_t>(port);
        break;
    case kUser: options.user = argument; break;
    case kPassword: options.password = argument; break;
    case kDigest: options.digest = true; break;
    case kRealm: options.realm = argument; break;
    case kChannel:
        options.channels.emplace_back();
        parseChannelSpec(argument, options.channels.back(), error);
        break;
    case kH265:
        if (options.channels.empty()) error = "--h265 follows the --channel it applies to";
        else options.channels.back().h265 = true;
        break;
    case kHelp: options.help = true; break;
    default: error = "unknown option (see --help)"; break;
    }
    return error.empty();
}

}  // namespace

const char* audioCodecName(AudioCodec codec) {
    switch (codec) {
    case AudioCodec::Pcmu: return "PCMU";
    case AudioCodec::Pcma: return "PCMA";
    case AudioCodec::G726: return "G.726";
    case AudioCodec::Aac: return "AAC";
    case AudioCodec::None: break;
    }
    return "none";
}

bool parseChannelSpec(const std::string& channelSpec, ChannelOptions& channel, std::string& error) {
    channel = ChannelOptions();
    size_t comma = channelSpec.find(',');
    std::string head = channelSpec.substr(0, comma);
    size_t equals = head.find('=');
    if (equals == std::string::npos || equals + 1 == head.size()) {
        error = "--channel wants NAME=VIDEO[,options]: " + channelSpec;
        return false;
    }
    channel.name = head.substr(0, equals);
    channel.video = head.substr(equals + 1);
    if (!validStreamName(channel.name)) {
        error = "bad stream name (1 to 63 bytes, no spaces, '/', '?', '#', '%'): " + channel.name;
        return false;
    }
    while (comma != std::string::npos) {
        size_t nextComma = channelSpec.find(',', comma + 1);
        std::string item = channelSpec.substr(comma + 1, nextComma == std::string::npos ? nextComma : nextComma - comma - 1);
        if (!parseChannelOption(item, channel, error)) return false;
        comma = nextComma;
    }
    return settleAudio(channel.audio, error);
}

bool parseServeOptions(int argc, char* const* argv, ServeOptions& options, std::string& error) {
    options = ServeOptions();
    error.clear();
    optind = 0;  // a full rescan, also when called again
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "+", kLongOptions, nullptr)) != -1) {
        if (id == '?' || id == ':') {
            error = std::string("unknown option or missing value: ") + argv[optind - 1];
            return false;
        }
        if (!applyOption(id, optarg, options, error)) return false;
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return false;
    }
    return checkCredentials(options, error) && checkChannels(options, error);
}

const char* serveUsage() {
    return "Usage: nerivo-serve [--port N] [--user U --password P [--digest] [--realm R]]\n"
           "                    [--channel NAME=VIDEO[,options] [--h265]]...\n"
           "\n"
           "Serves channels over RTSP with libNerivo. Without --channel it serves a live\n"
           "test pattern with a 440 Hz tone, made by ffmpeg, at rtsp://127.0.0.1:PORT/live.\n"
           "\n"
           "  --port N            RTSP port (default 8554)\n"
           "  --user U            account clients must log in with (with --password)\n"
           "  --password P        its password\n"
           "  --digest            Digest authentication instead of Basic\n"
           "  --realm R           authentication realm\n"
           "  --channel CHANNEL   a channel; may be given up to 1024 times\n"
           "  --h265              the preceding channel's video is H.265 (else detected)\n"
           "  --help              this text\n"
           "\n"
           "CHANNEL is NAME=VIDEO followed by comma-separated options:\n"
           "  VIDEO               an H.264 or H.265 Annex-B file, looped, or - for a live\n"
           "                      Annex-B stream on standard input (one channel at most)\n"
           "  fps=F               frame rate of the video (default 25)\n"
           "  h265                the video is H.265 (else detected from the NAL headers)\n"
           "  audio=CODEC:FILE    audio looped from a file; CODEC is one of\n"
           "                        pcmu, pcma  raw G.711 (default 8000 Hz mono)\n"
           "                        g726        raw G.726, RTP packing (ffmpeg -f g726le)\n"
           "                        aac         AAC in ADTS frames\n"
           "  rate=HZ             G.711 sampling rate\n"
           "  channels=N          G.711 channel count\n"
           "  bits=K              G.726 rate in kbit/s: 16, 24, 32 (default) or 40\n"
           "\n"
           "Example:\n"
           "  nerivo-serve --channel cam1=front.h264,audio=aac:front.aac --channel cam2=back.h265\n";
}
