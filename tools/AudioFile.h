// An audio file held in memory as frames, ready to be pushed in a loop: raw
// G.711 or G.726 in 20 ms blocks, or AAC access units from ADTS frames with
// the headers removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteSpan.h"
#include "ServeOptions.h"

struct AdtsFrame;

class AudioFile {
public:
    static constexpr uint64_t kMaxFileSize = 256ull << 20;
    static constexpr unsigned kBlockMs = 20;

    // Reads the file named in `options`, of the codec and format given there.
    bool load(const AudioOptions& options, std::string& error);

    uint32_t codecId() const { return fCodecId; }
    unsigned sampleRate() const { return fSampleRate; }
    unsigned channels() const { return fChannels; }
    unsigned bits() const { return fBits; }
    double frameDurationUs() const { return fFrameDurationUs; }
    size_t frameCount() const { return fFrames.size(); }
    ByteSpan frame(size_t index) const;

private:
    struct StoredFrame {
        size_t offset;
        size_t size;
    };

    bool loadBlocks(const AudioOptions& options, std::string& error);
    bool loadAdts(const std::string& path, std::string& error);
    bool storeAdtsFrame(const AdtsFrame& frame, std::string& error);
    bool readWhole(const std::string& path, std::string& error);

    std::vector<uint8_t> fBytes;
    std::vector<StoredFrame> fFrames;
    uint32_t fCodecId = 0;
    unsigned fSampleRate = 0;
    unsigned fChannels = 0;
    unsigned fBits = 0;
    double fFrameDurationUs = 0;
};

// Bytes of one 20 ms block of G.711 or G.726 audio.
size_t audioBlockSize(const AudioOptions& options);
