#include "NalUnit.h"

#include "Nerivo.h"

uint32_t videoCodecId(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::H264: return NERIVO_CODEC_H264;
    case VideoCodec::H265: return NERIVO_CODEC_H265;
    default: return 0;
    }
}

const char* videoCodecName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::H264: return "H.264";
    case VideoCodec::H265: return "H.265";
    default: return "unknown";
    }
}

int nalUnitType(VideoCodec codec, const uint8_t* unit, size_t size) {
    if (codec == VideoCodec::H264 && size >= 1) return unit[0] & 0x1F;
    if (codec == VideoCodec::H265 && size >= 2) return (unit[0] >> 1) & 0x3F;
    return -1;
}

bool isVclType(VideoCodec codec, int type) {
    if (codec == VideoCodec::H264) return type >= 1 && type <= 5;
    if (codec == VideoCodec::H265) return type >= 0 && type <= 31;
    return false;
}

bool isIrapType(VideoCodec codec, int type) {
    if (codec == VideoCodec::H264) return type == 5;
    if (codec == VideoCodec::H265) return type >= 16 && type <= 23;
    return false;
}

ParameterSetKind parameterSetKind(VideoCodec codec, int type) {
    if (codec == VideoCodec::H264) {
        if (type == 7) return ParameterSetKind::Sps;
        if (type == 8) return ParameterSetKind::Pps;
    } else if (codec == VideoCodec::H265) {
        if (type == 32) return ParameterSetKind::Vps;
        if (type == 33) return ParameterSetKind::Sps;
        if (type == 34) return ParameterSetKind::Pps;
    }
    return ParameterSetKind::None;
}

bool opensAccessUnit(VideoCodec codec, int type) {
    if (codec == VideoCodec::H264) return (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
    if (codec == VideoCodec::H265) {
        return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
               (type >= 48 && type <= 55);
    }
    return false;
}

bool isFirstSliceOfPicture(VideoCodec codec, const uint8_t* unit, size_t size) {
    int type = nalUnitType(codec, unit, size);
    if (codec == VideoCodec::H264) {
        // first_mb_in_slice is ue(v); the value 0 is the single bit 1.
        bool hasSliceHeader = type == 1 || type == 2 || type == 5;
        return hasSliceHeader && size >= 2 && (unit[1] & 0x80) != 0;
    }
    if (codec == VideoCodec::H265) {
        // first_slice_segment_in_pic_flag follows the two header bytes.
        return isVclType(codec, type) && size >= 3 && (unit[2] & 0x80) != 0;
    }
    return false;
}

bool isKeyUnit(VideoCodec codec, const uint8_t* unit, size_t size) {
    int type = nalUnitType(codec, unit, size);
    return isIrapType(codec, type) || parameterSetKind(codec, type) != ParameterSetKind::None;
}

static bool isPlausibleH264(const uint8_t* unit, size_t size) {
    if (size < 1 || (unit[0] & 0x80) != 0) return false;
    int type = unit[0] & 0x1F;
    int refIdc = (unit[0] >> 5) & 3;
    if (type < 1 || type > 12) return false;
    if (type == 6 || type >= 9) return refIdc == 0;
    if (type == 5 || type == 7 || type == 8) return refIdc != 0;
    return true;
}

static bool isPlausibleH265(const uint8_t* unit, size_t size) {
    if (size < 2 || (unit[0] & 0x80) != 0) return false;
    int type = (unit[0] >> 1) & 0x3F;
    int layerId = ((unit[0] & 1) << 5) | (unit[1] >> 3);
    int temporalIdPlus1 = unit[1] & 7;
    if (layerId != 0 || temporalIdPlus1 == 0) return false;
    return type <= 9 || (type >= 16 && type <= 21) || (type >= 32 && type <= 40);
}

bool isPlausibleUnit(VideoCodec codec, const uint8_t* unit, size_t size) {
    if (codec == VideoCodec::H264) return isPlausibleH264(unit, size);
    if (codec == VideoCodec::H265) return isPlausibleH265(unit, size);
    return false;
}
