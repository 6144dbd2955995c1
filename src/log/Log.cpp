#include "Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "DebugChannel.h"

namespace {

// ANSI colours standing in for the console attributes of each level:
// 0 bright green, 1 bright red, 3 bright red on red; level 2 and others none.
const char* colourFor(int level) {
    switch (level) {
        case LOG_INFO: return "\033[92m";
        case LOG_WARN: return "\033[91m";
        case LOG_ERROR: return "\033[91;41m";
        default: return nullptr;
    }
}

const char kColourReset[] = "\033[0m";

void writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

void Log_Write(int level, const char* format, ...) {
    // Callers may log between a failing call and reading its errno.
    const int savedErrno = errno;
    char message[kLogMessageMax + 1];
    va_list args;
    va_start(args, format);
    int formatted = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (formatted < 0) message[0] = '\0';

    char stamp[32] = {0};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%Y%m%d %H%M%S ", &local);

    // Time stamp and message go out in one write so that lines of different
    // threads never interleave.
    const char* colour = isatty(STDOUT_FILENO) ? colourFor(level) : nullptr;
    char line[16 + sizeof stamp + sizeof message + sizeof kColourReset];
    int length = snprintf(line, sizeof line, "%s%s%s%s", colour ? colour : "", stamp, message,
                          colour ? kColourReset : "");
    if (length > static_cast<int>(sizeof line) - 1) length = static_cast<int>(sizeof line) - 1;
    if (length > 0) writeAll(STDOUT_FILENO, line, static_cast<size_t>(length));

    snprintf(line, sizeof line, "%s%s", stamp, message);
    DebugChannel_Send(level, line);
    errno = savedErrno;
}
