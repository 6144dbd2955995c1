#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

InputFile::~InputFile() {
    if (fFd >= 0) close(fFd);
}

bool InputFile::open(const std::string& path, uint64_t maxBytes, std::string& error) {
    fPath = path;
    fFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info{};
    if (fFd < 0 || fstat(fFd, &info) != 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    fSize = static_cast<uint64_t>(info.st_size);
    if (fSize > maxBytes) {
        error = path + ": larger than " + std::to_string(maxBytes >> 20) + " MiB";
        return false;
    }
    return true;
}

long InputFile::read(uint8_t* into, size_t size, std::string& error) {
    for (;;) {
        ssize_t got = ::read(fFd, into, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        error = fPath + ": " + strerror(errno);
        return -1;
    }
}
