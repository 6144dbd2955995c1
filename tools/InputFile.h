// A regular file opened for reading, with its size checked against a limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // False with a message when the file cannot be read or exceeds maxBytes.
    bool open(const std::string& path, uint64_t maxBytes, std::string& error);
    // Bytes read (0 at the end), or -1 with a message.
    long read(uint8_t* into, size_t size, std::string& error);
    uint64_t size() const { return fSize; }

    static constexpr size_t kPieceSize = 1u << 20;

private:
    int fFd = -1;
    uint64_t fSize = 0;
    std::string fPath;
};
