#include "AudioFile.h"

#include "AdtsReader.h"
#include "InputFile.h"
#include "Nerivo.h"

static constexpr unsigned kAacSamplesPerFrame = 1024;
static constexpr unsigned kAacLcObjectType = 2;

size_t audioBlockSize(const AudioOptions& options) {
    unsigned blocksPerSecond = 1000 / AudioFile::kBlockMs;
    if (options.codec == AudioCodec::G726) return options.bits * 1000 / 8 / blocksPerSecond;
    return static_cast<size_t>(options.sampleRate) * options.channels / blocksPerSecond;
}

static uint32_t blockCodecId(AudioCodec codec) {
    switch (codec) {
    case AudioCodec::Pcmu: return NERIVO_CODEC_PCMU;
    case AudioCodec::Pcma: return NERIVO_CODEC_PCMA;
    case AudioCodec::G726: return NERIVO_CODEC_G726;
    default: return 0;
    }
}

bool AudioFile::load(const AudioOptions& options, std::string& error) {
    *this = AudioFile();
    bool loaded = options.codec == AudioCodec::Aac ? loadAdts(options.file, error) : loadBlocks(options, error);
    if (loaded && fFrames.empty()) {
        error = options.file + ": no complete audio frame";
        loaded = false;
    }
    return loaded;
}

bool AudioFile::readWhole(const std::string& path, std::string& error) {
    InputFile file;
    if (!file.open(path, kMaxFileSize, error)) return false;
    fBytes.resize(file.size());
    size_t filled = 0;
    while (filled < fBytes.size()) {
        long got = file.read(fBytes.data() + filled, fBytes.size() - filled, error);
        if (got < 0) return false;
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    fBytes.resize(filled);
    return true;
}

// A trailing part block is left out.
bool AudioFile::loadBlocks(const AudioOptions& options, std::string& error) {
    if (!readWhole(options.file, error)) return false;
    size_t blockSize = audioBlockSize(options);
    for (size_t offset = 0; blockSize != 0 && offset + blockSize <= fBytes.size(); offset += blockSize) {
        fFrames.push_back({offset, blockSize});
    }
    fCodecId = blockCodecId(options.codec);
    fSampleRate = options.sampleRate;
    fChannels = options.channels;
    fBits = options.codec == AudioCodec::G726 ? options.bits : 0;
    fFrameDurationUs = kBlockMs * 1000.0;
    return true;
}

bool AudioFile::loadAdts(const std::string& path, std::string& error) {
    if (!readWhole(path, error)) return false;
    std::vector<uint8_t> file;
    file.swap(fBytes);
    AdtsReader reader;
    reader.feed(file.data(), file.size());
    AdtsFrame frame;
    while (reader.next(frame)) {
        if (!storeAdtsFrame(frame, error)) {
            error = path + ": " + error;
            return false;
        }
    }
    fCodecId = NERIVO_CODEC_AAC;
    return true;
}

// Every frame must be one AAC-LC access unit of the first frame's format.
bool AudioFile::storeAdtsFrame(const AdtsFrame& frame, std::string& error) {
    const AdtsHeader& header = frame.header;
    // Configurations 1 to 6 carry as many channels as their number, which is
    // what the description's channel count stands for.
    if (header.objectType != kAacLcObjectType || header.channelConfig == 0 || header.channelConfig > 6 ||
        header.rawDataBlocks != 1) {
        error = "only AAC-LC ADTS frames of 1 to 6 channels with one access unit each are served";
        return false;
    }
    unsigned channels = header.channelConfig;
    if (fFrames.empty()) {
        fSampleRate = header.sampleRate;
        fChannels = channels;
        fFrameDurationUs = kAacSamplesPerFrame * 1e6 / header.sampleRate;
    } else if (header.sampleRate != fSampleRate || channels != fChannels) {
        error = "the sampling rate or channel count changes between ADTS frames";
        return false;
    }
    fFrames.push_back({fBytes.size(), frame.payload.size});
    fBytes.insert(fBytes.end(), frame.payload.data, frame.payload.data + frame.payload.size);
    return true;
}

ByteSpan AudioFile::frame(size_t index) const {
    return ByteSpan{fBytes.data() + fFrames[index].offset, fFrames[index].size};
}
