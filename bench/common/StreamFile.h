// The benchmark's input: an H.264 Annex-B file held in memory as access units,
// each both as its NAL units (for the library) and as one Annex-B block (for
// the peer's appsrc). Played in a loop from the first IDR picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ByteSpan.h"
#include "Nerivo.h"
#include "VideoFile.h"

struct AccessUnit {
    std::vector<ByteSpan> units;        // NAL units without start codes
    std::vector<uint32_t> frameTypes;   // NERIVO_FRAME_KEY for key units
    std::vector<uint8_t> annexB;        // the units, each after a 4-byte start code
};

class StreamFile {
public:
    bool load(const std::string& path, std::string& error);

    size_t size() const { return fAccessUnits.size(); }
    // The access unit played at position `index` of the loop.
    const AccessUnit& at(uint64_t index) const { return fAccessUnits[index % fAccessUnits.size()]; }
    // SPS and PPS in a media description (video only).
    MEDIA_DESC_T description() const;
    ByteSpan sps() const { return fSps; }
    ByteSpan pps() const { return fPps; }
    // Mean bytes of NAL units per access unit.
    double meanAccessUnitBytes() const;

private:
    VideoFile fFile;
    std::vector<AccessUnit> fAccessUnits;  // from the first IDR picture on
    std::vector<uint8_t> fSpsBytes;
    std::vector<uint8_t> fPpsBytes;
    ByteSpan fSps;
    ByteSpan fPps;
};
