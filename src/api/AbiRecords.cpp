// Pins the layout of every record shared with the host: host and library must
// agree on them byte for byte.
#include <cstddef>

#include "Nerivo.h"

static_assert(sizeof(CHANNEL_INFO_T) == 68, "CHANNEL_INFO_T is 68 bytes");
static_assert(offsetof(CHANNEL_INFO_T, stream_name) == 4, "stream_name at 4");

static_assert(sizeof(MEDIA_DESC_T) == 808, "MEDIA_DESC_T is 808 bytes");
static_assert(offsetof(MEDIA_DESC_T, audio_codec) == 8, "audio_codec at 8");
static_assert(offsetof(MEDIA_DESC_T, audio_bits) == 20, "audio_bits at 20");
static_assert(offsetof(MEDIA_DESC_T, vps_length) == 24, "vps_length at 24");
static_assert(offsetof(MEDIA_DESC_T, pps_length) == 32, "pps_length at 32");
static_assert(offsetof(MEDIA_DESC_T, vps) == 40, "vps at 40");
static_assert(offsetof(MEDIA_DESC_T, sps) == 295, "sps at 295");
static_assert(offsetof(MEDIA_DESC_T, pps) == 550, "pps at 550");

// Natural alignment: 32 bytes with 8-byte pointers, 24 with 4-byte pointers.
static_assert(offsetof(PUSH_FRAME_T, length) == 4, "length at 4");
static_assert(offsetof(PUSH_FRAME_T, frame_type) == 8, "frame_type at 8");
static_assert(offsetof(PUSH_FRAME_T, data) == (sizeof(void*) == 8 ? 16 : 12), "data");
static_assert(offsetof(PUSH_FRAME_T, timestamp_sec) == (sizeof(void*) == 8 ? 24 : 16), "sec");
static_assert(offsetof(PUSH_FRAME_T, timestamp_usec) == (sizeof(void*) == 8 ? 28 : 20), "usec");
static_assert(sizeof(PUSH_FRAME_T) == (sizeof(void*) == 8 ? 32 : 24), "PUSH_FRAME_T size");
