#include "VideoCodecDetector.h"

VideoCodec VideoCodecDetector::offer(const uint8_t* unit, size_t size) {
    if (fDecided != VideoCodec::Unknown) return fDecided;
    bool h264 = isPlausibleUnit(VideoCodec::H264, unit, size);
    bool h265 = isPlausibleUnit(VideoCodec::H265, unit, size);
    if (h264 && !h265) ++fOnlyH264;
    if (h265 && !h264) ++fOnlyH265;
    ++fUnitsSeen;
    if (fOnlyH264 >= kLeadToDecide && fOnlyH265 == 0) fDecided = VideoCodec::H264;
    if (fOnlyH265 >= kLeadToDecide && fOnlyH264 == 0) fDecided = VideoCodec::H265;
    if (fDecided == VideoCodec::Unknown && fUnitsSeen >= kUnitsToDecide) conclude();
    return fDecided;
}

VideoCodec VideoCodecDetector::conclude() {
    if (fDecided != VideoCodec::Unknown) return fDecided;
    if (fOnlyH264 > fOnlyH265) fDecided = VideoCodec::H264;
    if (fOnlyH265 > fOnlyH264) fDecided = VideoCodec::H265;
    return fDecided;
}
