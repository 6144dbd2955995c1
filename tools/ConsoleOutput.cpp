#include "ConsoleOutput.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

static std::mutex gConsoleMutex;

static void printTo(FILE* stream, const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> lock(gConsoleMutex);
    fprintf(stream, "%s\n", line);
    fflush(stream);
}

void printLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printTo(stdout, format, args);
    va_end(args);
}

void printErrorLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printTo(stderr, format, args);
    va_end(args);
}
