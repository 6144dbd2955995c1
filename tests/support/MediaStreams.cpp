#include "MediaStreams.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

TempDir::TempDir() {
    char pattern[] = "/tmp/nerivo-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) fPath = pattern;
}

TempDir::~TempDir() {
    if (!fPath.empty()) runShell("rm -rf '" + fPath + "'");
}

bool runShell(const std::string& command) {
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ffmpegHasEncoder(const std::string& name) {
    return runShell("ffmpeg -hide_banner -encoders 2>/dev/null | grep -qw " + name);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Bytes> splitAnnexB(const Bytes& s) {
    std::vector<Bytes> units;
    size_t start = std::string::npos;
    size_t i = 0;
    auto flush = [&](size_t end) {
        while (end > start && s[end - 1] == 0) --end;
        if (end > start) units.emplace_back(s.begin() + static_cast<long>(start), s.begin() + static_cast<long>(end));
    };
    while (i + 2 < s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != std::string::npos) flush(i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos) flush(s.size());
    return units;
}

std::vector<Bytes> splitAdts(const Bytes& s) {
    std::vector<Bytes> units;
    size_t offset = 0;
    while (offset + 7 <= s.size() && s[offset] == 0xFF && (s[offset + 1] & 0xF6) == 0xF0) {
        bool crc = (s[offset + 1] & 1) == 0;
        size_t frameLength = ((s[offset + 3] & 3u) << 11) | (s[offset + 4] << 3) | (s[offset + 5] >> 5);
        size_t header = crc ? 9 : 7;
        if (frameLength < header || offset + frameLength > s.size()) break;
        units.emplace_back(s.begin() + static_cast<long>(offset + header),
                           s.begin() + static_cast<long>(offset + frameLength));
        offset += frameLength;
    }
    return units;
}

AdtsHeader firstAdtsHeader(const Bytes& s) {
    AdtsHeader h;
    if (s.size() < 7 || s[0] != 0xFF || (s[1] & 0xF6) != 0xF0) return h;
    h.valid = true;
    h.profile = s[2] >> 6;
    h.frequencyIndex = (s[2] >> 2) & 0x0F;
    h.channelConfiguration = ((s[2] & 1u) << 2) | (s[3] >> 6);
    return h;
}

bool isVclNal(int hNumber, const Bytes& nal) {
    if (nal.empty()) return false;
    if (hNumber == 264) {
        unsigned type = nal[0] & 0x1F;
        return type >= 1 && type <= 5;
    }
    return ((nal[0] >> 1) & 0x3F) <= 31;
}

bool isKeyNal(int hNumber, const Bytes& nal) {
    if (nal.empty()) return false;
    if (hNumber == 264) return (nal[0] & 0x1F) == 5;
    unsigned type = (nal[0] >> 1) & 0x3F;
    return type >= 16 && type <= 23;
}

const char* streamKindName(StreamKind kind) {
    switch (kind) {
        case StreamKind::H264: return "H264";
        case StreamKind::H265: return "H265";
        case StreamKind::PCMU: return "PCMU";
        case StreamKind::PCMA: return "PCMA";
        case StreamKind::G726: return "G726";
        case StreamKind::AAC: return "AAC";
    }
    return "?";
}

uint32_t TestStream::codec() const {
    switch (kind) {
        case StreamKind::H264: return NERIVO_CODEC_H264;
        case StreamKind::H265: return NERIVO_CODEC_H265;
        case StreamKind::PCMU: return NERIVO_CODEC_PCMU;
        case StreamKind::PCMA: return NERIVO_CODEC_PCMA;
        case StreamKind::G726: return NERIVO_CODEC_G726;
        case StreamKind::AAC: return NERIVO_CODEC_AAC;
    }
    return 0;
}

namespace {

constexpr int64_t kFrameIntervalUs = 40000;  // 25 fps
constexpr int64_t kBlockUs = 20000;          // audio blocks of 20 ms

// Each VCL NAL unit is one picture (single-slice encodes): the units before
// it belong to its access unit.
void scheduleVideo(TestStream& stream, const std::vector<Bytes>& nals) {
    int h = stream.hNumber();
    size_t auStart = 0;
    int64_t picture = 0;
    for (size_t i = 0; i < nals.size(); ++i) {
        if (!isVclNal(h, nals[i])) continue;
        uint32_t type = isKeyNal(h, nals[i]) ? NERIVO_FRAME_KEY : 0;
        for (size_t j = auStart; j <= i; ++j)
            stream.units.push_back({NERIVO_MEDIA_VIDEO, type, picture * kFrameIntervalUs, nals[j]});
        auStart = i + 1;
        ++picture;
    }
    stream.durationUs = picture * kFrameIntervalUs;
    for (const Bytes& nal : nals) {
        unsigned type = h == 264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
        Bytes* set = nullptr;
        if (h == 264) set = type == 7 ? &stream.sps : type == 8 ? &stream.pps : nullptr;
        else set = type == 32 ? &stream.vps : type == 33 ? &stream.sps : type == 34 ? &stream.pps : nullptr;
        if (set != nullptr && set->empty()) *set = nal;
    }
}

void scheduleBlocks(TestStream& stream, const Bytes& raw, size_t blockSize) {
    int64_t pts = 0;
    for (size_t offset = 0; offset + blockSize <= raw.size(); offset += blockSize, pts += kBlockUs)
        stream.units.push_back({NERIVO_MEDIA_AUDIO, 0, pts,
                                Bytes(raw.begin() + static_cast<long>(offset),
                                      raw.begin() + static_cast<long>(offset + blockSize))});
    stream.durationUs = pts;
}

void scheduleAac(TestStream& stream, const std::vector<Bytes>& units) {
    for (size_t k = 0; k < units.size(); ++k)
        stream.units.push_back({NERIVO_MEDIA_AUDIO, 0,
                                static_cast<int64_t>(k) * 1024 * 1000000 / stream.sampleRate, units[k]});
    stream.durationUs = static_cast<int64_t>(units.size()) * 1024 * 1000000 / stream.sampleRate;
}

std::string ffmpegCommand(StreamKind kind, const std::string& out) {
    const std::string head = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    const std::string video = "-f lavfi -i testsrc=size=640x480:rate=25 -t 1 -pix_fmt yuv420p -g 25 -b:v 2M ";
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=";
    switch (kind) {
        case StreamKind::H264:
            return head + video + "-c:v libx264 -bf 0 -bsf:v h264_mp4toannexb -f h264 '" + out + "'";
        case StreamKind::H265:
            return head + video + "-c:v libx265 -x265-params log-level=none:bframes=0 -f hevc '" + out + "'";
        case StreamKind::PCMU: return head + tone + "8000 -t 1 -c:a pcm_mulaw -f mulaw '" + out + "'";
        case StreamKind::PCMA: return head + tone + "8000 -t 1 -c:a pcm_alaw -f alaw '" + out + "'";
        case StreamKind::G726: return head + tone + "8000 -t 1 -c:a g726 -b:a 32k -f g726 '" + out + "'";
        case StreamKind::AAC: return head + tone + "48000 -t 1 -ac 1 -c:a aac -b:a 64k -f adts '" + out + "'";
    }
    return "false";
}

const char* encoderOf(StreamKind kind) {
    switch (kind) {
        case StreamKind::H264: return "libx264";
        case StreamKind::H265: return "libx265";
        case StreamKind::PCMU: return "pcm_mulaw";
        case StreamKind::PCMA: return "pcm_alaw";
        case StreamKind::G726: return "g726";
        case StreamKind::AAC: return "aac";
    }
    return "";
}

TestStream makeStream(const TempDir& dir, StreamKind kind) {
    TestStream stream;
    stream.kind = kind;
    stream.path = dir.path() + "/" + streamKindName(kind) + ".bin";
    if (dir.path().empty() || !ffmpegHasEncoder(encoderOf(kind)) ||
        !runShell(ffmpegCommand(kind, stream.path)))
        return stream;
    Bytes raw = readFile(stream.path);
    switch (kind) {
        case StreamKind::H264:
        case StreamKind::H265: scheduleVideo(stream, splitAnnexB(raw)); break;
        case StreamKind::PCMU:
        case StreamKind::PCMA:
            stream.sampleRate = 8000;
            stream.channels = 1;
            scheduleBlocks(stream, raw, 160);
            break;
        case StreamKind::G726:
            stream.sampleRate = 8000;
            stream.channels = 1;
            stream.bits = 32;
            scheduleBlocks(stream, raw, 80);
            break;
        case StreamKind::AAC:
            stream.sampleRate = 48000;
            stream.channels = 1;
            scheduleAac(stream, splitAdts(raw));
            break;
    }
    return stream;
}

}  // namespace

const TestStream& testStream(StreamKind kind) {
    static std::mutex mutex;
    static TempDir dir;
    static std::map<StreamKind, std::unique_ptr<TestStream>> made;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = made[kind];
    if (!slot) slot.reset(new TestStream(makeStream(dir, kind)));
    return *slot;
}

MEDIA_DESC_T describeStreams(const TestStream* video, const TestStream* audio) {
    MEDIA_DESC_T desc;
    memset(&desc, 0, sizeof desc);
    auto put = [](uint8_t* to, uint32_t& length, const Bytes& set, size_t room) {
        length = static_cast<uint32_t>(std::min(set.size(), room));
        if (length > 0) memcpy(to, set.data(), length);
    };
    if (video != nullptr) {
        desc.video_codec = video->codec();
        put(desc.vps, desc.vps_length, video->vps, sizeof desc.vps);
        put(desc.sps, desc.sps_length, video->sps, sizeof desc.sps);
        put(desc.pps, desc.pps_length, video->pps, sizeof desc.pps);
    } else {
        static const uint8_t placeholder[] = {0x01, 0x02, 0x03, 0x04};
        desc.video_codec = kForeignVideoCodec;
        desc.sps_length = desc.pps_length = sizeof placeholder;
        memcpy(desc.sps, placeholder, sizeof placeholder);
        memcpy(desc.pps, placeholder, sizeof placeholder);
    }
    if (audio != nullptr) {
        desc.audio_codec = audio->codec();
        desc.audio_sample_rate = audio->sampleRate;
        desc.audio_channels = audio->channels;
        desc.audio_bits = audio->bits;
    }
    return desc;
}

std::vector<PushUnit> mergeUnits(const TestStream* video, const TestStream* audio) {
    std::vector<PushUnit> all;
    if (video != nullptr) all = video->units;
    if (audio != nullptr) all.insert(all.end(), audio->units.begin(), audio->units.end());
    std::stable_sort(all.begin(), all.end(),
                     [](const PushUnit& a, const PushUnit& b) { return a.ptsUs < b.ptsUs; });
    return all;
}
