#include "StreamFile.h"

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

AccessUnit buildAccessUnit(const VideoFile& file, size_t index) {
    AccessUnit au;
    for (size_t i = 0; i < file.unitCount(index); ++i) {
        ByteSpan unit = file.unit(index, i);
        au.units.push_back(unit);
        au.frameTypes.push_back(file.frameType(index, i));
        au.annexB.insert(au.annexB.end(), kStartCode, kStartCode + 4);
        au.annexB.insert(au.annexB.end(), unit.data, unit.data + unit.size);
    }
    return au;
}

}  // namespace

bool StreamFile::load(const std::string& path, std::string& error) {
    if (!fFile.load(path, VideoCodec::H264, error)) return false;
    for (size_t i = fFile.loopStart(); i < fFile.accessUnitCount(); ++i)
        fAccessUnits.push_back(buildAccessUnit(fFile, i));
    if (fAccessUnits.empty()) {
        error = path + ": no access units";
        return false;
    }
    MEDIA_DESC_T desc = description();
    fSpsBytes.assign(desc.sps, desc.sps + desc.sps_length);
    fPpsBytes.assign(desc.pps, desc.pps + desc.pps_length);
    fSps = ByteSpan{fSpsBytes.data(), fSpsBytes.size()};
    fPps = ByteSpan{fPpsBytes.data(), fPpsBytes.size()};
    return true;
}

MEDIA_DESC_T StreamFile::description() const {
    MEDIA_DESC_T desc{};
    desc.video_codec = NERIVO_CODEC_H264;
    fFile.parameterSets().fillDescription(desc);
    return desc;
}

double StreamFile::meanAccessUnitBytes() const {
    double total = 0;
    for (const AccessUnit& au : fAccessUnits)
        for (const ByteSpan& unit : au.units) total += static_cast<double>(unit.size);
    return total / static_cast<double>(fAccessUnits.size());
}
