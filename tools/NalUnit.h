// NAL unit header helpers for H.264 and H.265 units without start codes.
#pragma once

#include <cstddef>
#include <cstdint>

enum class VideoCodec { Unknown, H264, H265 };

enum class ParameterSetKind { None, Vps, Sps, Pps };

// NERIVO_CODEC_H264 / NERIVO_CODEC_H265, 0 for Unknown.
uint32_t videoCodecId(VideoCodec codec);
const char* videoCodecName(VideoCodec codec);

// The NAL unit type, or -1 when the unit is too short for its header.
int nalUnitType(VideoCodec codec, const uint8_t* unit, size_t size);
bool isVclType(VideoCodec codec, int type);
// IDR pictures (H.264) and every IRAP picture (H.265).
bool isIrapType(VideoCodec codec, int type);
ParameterSetKind parameterSetKind(VideoCodec codec, int type);
// Types that open a new access unit when they follow a picture's slices.
bool opensAccessUnit(VideoCodec codec, int type);
// For a slice: true when it is the first slice of its picture.
bool isFirstSliceOfPicture(VideoCodec codec, const uint8_t* unit, size_t size);
// Units a reader may start at: IDR/IRAP slices and parameter sets.
bool isKeyUnit(VideoCodec codec, const uint8_t* unit, size_t size);
// Whether the header reads as a well-formed unit of that codec.
bool isPlausibleUnit(VideoCodec codec, const uint8_t* unit, size_t size);
