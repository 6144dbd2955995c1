#include "MediaFiles.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

TempDir::TempDir() {
    char pattern[] = "/tmp/rtp-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) fPath = pattern;
}

TempDir::~TempDir() {
    if (!fPath.empty()) runCommand("rm -rf '" + fPath + "'");
}

bool runCommand(const std::string& command) {
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ffmpegHasEncoder(const std::string& name) {
    return runCommand("ffmpeg -hide_banner -encoders 2>/dev/null | grep -qw " + name);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> units;
    size_t i = 0, start = std::string::npos;
    while (i + 2 < s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != std::string::npos) {
                size_t end = i;
                while (end > start && s[end - 1] == 0) --end;  // zero_byte of a 4-byte start code
                units.emplace_back(s.begin() + start, s.begin() + end);
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos && start < s.size()) units.emplace_back(s.begin() + start, s.end());
    return units;
}

std::vector<std::vector<uint8_t>> splitAdts(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> units;
    size_t offset = 0;
    while (offset + 7 <= s.size() && s[offset] == 0xFF && (s[offset + 1] & 0xF0) == 0xF0) {
        bool crc = (s[offset + 1] & 1) == 0;
        size_t frameLength = ((s[offset + 3] & 3u) << 11) | (s[offset + 4] << 3) | (s[offset + 5] >> 5);
        size_t header = crc ? 9 : 7;
        if (frameLength < header || offset + frameLength > s.size()) break;
        units.emplace_back(s.begin() + offset + header, s.begin() + offset + frameLength);
        offset += frameLength;
    }
    return units;
}

std::vector<uint8_t> makeVideoStream(const TempDir& dir, int hNumber) {
    std::string out = dir.path() + (hNumber == 264 ? "/out.h264" : "/out.h265");
    std::string codec = hNumber == 264 ? "-c:v libx264 -bsf:v h264_mp4toannexb -f h264"
                                       : "-c:v libx265 -x265-params log-level=none:bframes=0 -f hevc";
    std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi "
                          "-i testsrc=size=320x240:rate=25 -t 1 -pix_fmt yuv420p -bf 0 " + codec + " '" + out + "'";
    if (!runCommand(command)) return {};
    return readFile(out);
}
