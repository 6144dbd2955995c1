// Short media files made with ffmpeg for the tests, and their units: NAL units
// of an Annex B stream, access units of an ADTS stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
};

// Runs a shell command (ffmpeg with -t, so it ends by itself); true on exit status 0.
bool runCommand(const std::string& command);
bool ffmpegHasEncoder(const std::string& name);
std::vector<uint8_t> readFile(const std::string& path);

// The NAL units between start codes.
std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& stream);
// The raw AAC access units of an ADTS stream (headers removed).
std::vector<std::vector<uint8_t>> splitAdts(const std::vector<uint8_t>& stream);

// Generates 1 s of 320x240 at 25 fps; empty on failure.
std::vector<uint8_t> makeVideoStream(const TempDir& dir, int hNumber);
