// An H.264 or H.265 Annex-B file held in memory as NAL units (start codes
// removed) grouped into access units, ready to be pushed in a loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteSpan.h"
#include "NalUnit.h"
#include "ParameterSets.h"

class VideoFile {
public:
    static constexpr uint64_t kMaxFileSize = 1ull << 30;

    // Reads and indexes the file. forced = Unknown detects the codec.
    bool load(const std::string& path, VideoCodec forced, std::string& error);

    VideoCodec codec() const { return fCodec; }
    const ParameterSets& parameterSets() const { return fParameterSets; }

    size_t accessUnitCount() const { return fAccessUnits.size(); }
    // The first access unit with an IDR/IRAP picture: where each loop begins.
    size_t loopStart() const { return fLoopStart; }
    size_t unitCount(size_t accessUnit) const { return fAccessUnits[accessUnit].count; }
    ByteSpan unit(size_t accessUnit, size_t index) const;
    uint32_t frameType(size_t accessUnit, size_t index) const;
    uint64_t oversizedUnits() const { return fOversizedUnits; }

private:
    struct StoredUnit {
        size_t offset;
        uint32_t size;
        uint32_t frameType;
    };
    struct AccessUnitRange {
        size_t first;
        size_t count;
    };

    bool readUnits(const std::string& path, std::string& error);
    void storeUnit(ByteSpan unit);
    bool decideCodec(VideoCodec forced, std::string& error);
    void indexAccessUnits();
    bool checkContents(std::string& error);

    std::vector<uint8_t> fBytes;
    std::vector<StoredUnit> fUnits;
    std::vector<AccessUnitRange> fAccessUnits;
    VideoCodec fCodec = VideoCodec::Unknown;
    ParameterSets fParameterSets;
    size_t fLoopStart = 0;
    bool fHasIrap = false;
    uint64_t fOversizedUnits = 0;
};
