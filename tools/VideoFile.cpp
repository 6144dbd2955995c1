#include "VideoFile.h"

#include "AccessUnitSplitter.h"
#include "AnnexBReader.h"
#include "InputFile.h"
#include "VideoCodecDetector.h"

bool VideoFile::load(const std::string& path, VideoCodec forced, std::string& error) {
    *this = VideoFile();
    if (!readUnits(path, error)) return false;
    if (fUnits.empty()) {
        error = path + ": no NAL units found (not an Annex-B H.264/H.265 stream?)";
        return false;
    }
    if (!decideCodec(forced, error)) {
        error = path + ": " + error;
        return false;
    }
    indexAccessUnits();
    if (!checkContents(error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool VideoFile::readUnits(const std::string& path, std::string& error) {
    InputFile file;
    if (!file.open(path, kMaxFileSize, error)) return false;
    fBytes.reserve(file.size());
    AnnexBReader reader;
    ByteSpan unit;
    for (;;) {
        long got = file.read(reader.prepare(InputFile::kPieceSize), InputFile::kPieceSize, error);
        if (got < 0) return false;
        reader.commit(static_cast<size_t>(got));
        if (got == 0) reader.markEnd();
        while (reader.next(unit)) storeUnit(unit);
        if (got == 0) break;
    }
    fOversizedUnits = reader.oversizedUnits();
    return true;
}

void VideoFile::storeUnit(ByteSpan unit) {
    fUnits.push_back({fBytes.size(), static_cast<uint32_t>(unit.size), 0});
    fBytes.insert(fBytes.end(), unit.data, unit.data + unit.size);
}

bool VideoFile::decideCodec(VideoCodec forced, std::string& error) {
    fCodec = forced;
    VideoCodecDetector detector;
    for (size_t i = 0; fCodec == VideoCodec::Unknown && i < fUnits.size(); ++i) {
        fCodec = detector.offer(fBytes.data() + fUnits[i].offset, fUnits[i].size);
    }
    if (fCodec == VideoCodec::Unknown) fCodec = detector.conclude();
    if (fCodec == VideoCodec::Unknown) error = "cannot tell whether the video is H.264 or H.265 (use h265 if it is)";
    return fCodec != VideoCodec::Unknown;
}

// Groups the units into access units, marks key units and keeps the first
// parameter set of each kind for the description.
void VideoFile::indexAccessUnits() {
    AccessUnitSplitter splitter(fCodec);
    for (size_t i = 0; i < fUnits.size(); ++i) {
        const uint8_t* data = fBytes.data() + fUnits[i].offset;
        size_t size = fUnits[i].size;
        if (splitter.beginsAccessUnit(data, size)) fAccessUnits.push_back({i, 0});
        ++fAccessUnits.back().count;
        fUnits[i].frameType = isKeyUnit(fCodec, data, size) ? NERIVO_FRAME_KEY : 0;
        int type = nalUnitType(fCodec, data, size);
        if (!fParameterSets.has(parameterSetKind(fCodec, type))) fParameterSets.offer(fCodec, data, size);
        if (isIrapType(fCodec, type) && !fHasIrap) {
            fHasIrap = true;
            fLoopStart = fAccessUnits.size() - 1;
        }
    }
}

bool VideoFile::checkContents(std::string& error) {
    if (!fHasIrap) {
        error = std::string("no ") + (fCodec == VideoCodec::H264 ? "IDR" : "IRAP") + " picture to start at";
        return false;
    }
    if (!fParameterSets.complete(fCodec)) {
        error = fCodec == VideoCodec::H264 ? "no SPS and PPS (of at most 255 and 258 bytes)"
                                           : "no VPS, SPS and PPS (of at most 255, 255 and 258 bytes)";
        return false;
    }
    return true;
}

ByteSpan VideoFile::unit(size_t accessUnit, size_t index) const {
    const StoredUnit& stored = fUnits[fAccessUnits[accessUnit].first + index];
    return ByteSpan{fBytes.data() + stored.offset, stored.size};
}

uint32_t VideoFile::frameType(size_t accessUnit, size_t index) const {
    return fUnits[fAccessUnits[accessUnit].first + index].frameType;
}
