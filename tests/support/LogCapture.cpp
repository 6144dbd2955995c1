#include "LogCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

LogCapture::LogCapture() {
    char path[] = "/tmp/nerivo-log-XXXXXX";
    fFile = mkstemp(path);
    unlink(path);
    fflush(stdout);
    fSavedStdout = dup(STDOUT_FILENO);
    dup2(fFile, STDOUT_FILENO);
}

LogCapture::~LogCapture() {
    fflush(stdout);
    dup2(fSavedStdout, STDOUT_FILENO);
    close(fSavedStdout);
    close(fFile);
}

std::string LogCapture::text() const {
    std::string result;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fFile, buffer, sizeof buffer, offset)) > 0) {
        result.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return result;
}

size_t LogCapture::count(const std::string& needle) const {
    std::string all = text();
    size_t found = 0;
    for (size_t pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1)) ++found;
    return found;
}
