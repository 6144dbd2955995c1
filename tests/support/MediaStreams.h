// Real encoded streams made once per process with ffmpeg, cut into what a
// host pushes: NAL units of Annex-B video, access units of ADTS AAC, blocks of
// raw G.711 and G.726, each with its presentation time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Nerivo.h"

using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
};

bool runShell(const std::string& command);  // true on exit status 0
bool ffmpegHasEncoder(const std::string& name);
Bytes readFile(const std::string& path);

// The NAL units between start codes (trailing zero bytes of a 4-byte start
// code removed).
std::vector<Bytes> splitAnnexB(const Bytes& stream);
// The raw access units of an ADTS stream (headers removed).
std::vector<Bytes> splitAdts(const Bytes& stream);
struct AdtsHeader {
    bool valid = false;
    unsigned profile = 0;  // audio object type - 1
    unsigned frequencyIndex = 0;
    unsigned channelConfiguration = 0;
};
AdtsHeader firstAdtsHeader(const Bytes& stream);

// H.264 (264) or H.265 (265) NAL unit classes.
bool isVclNal(int hNumber, const Bytes& nal);
bool isKeyNal(int hNumber, const Bytes& nal);  // IDR / IRAP picture

enum class StreamKind { H264, H265, PCMU, PCMA, G726, AAC };
const char* streamKindName(StreamKind kind);

struct PushUnit {
    uint32_t mediaType;  // NERIVO_MEDIA_VIDEO or NERIVO_MEDIA_AUDIO
    uint32_t frameType;  // NERIVO_FRAME_KEY for the units of a key picture
    int64_t ptsUs;       // offset from the stream's start
    Bytes data;
};

struct TestStream {
    StreamKind kind = StreamKind::H264;
    std::vector<PushUnit> units;  // empty when ffmpeg could not make it
    // Video: parameter sets; audio: codec parameters.
    Bytes vps, sps, pps;
    uint32_t sampleRate = 0, channels = 0, bits = 0;
    int64_t durationUs = 0;
    std::string path;  // the file ffmpeg wrote
    bool video() const { return kind == StreamKind::H264 || kind == StreamKind::H265; }
    int hNumber() const { return kind == StreamKind::H265 ? 265 : 264; }
    uint32_t codec() const;
    // The RTP clock: 90000 for video, the sampling rate for audio.
    uint32_t rtpClock() const { return video() ? 90000 : sampleRate; }
};

// One second of each kind, made at the first call (640x480 at 25 fps, no
// B-frames; 8000 Hz mono G.711 and G.726-32 in 20 ms blocks; 48000 Hz mono
// AAC-LC).
const TestStream& testStream(StreamKind kind);

// A description with the video stream's parameter sets (or, for an
// audio-only session, a placeholder video codec that gives no video track)
// and the audio stream's codec fields.
MEDIA_DESC_T describeStreams(const TestStream* video, const TestStream* audio);
// Both schedules in presentation order (video first at equal times).
std::vector<PushUnit> mergeUnits(const TestStream* video, const TestStream* audio);

// A video codec the library does not know: with parameter sets it passes the
// validity test and gives an audio-only session.
constexpr uint32_t kForeignVideoCodec = 0x1B;
