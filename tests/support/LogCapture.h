// Captures what the log writer sends to standard output while it lives.
#pragma once

#include <string>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written to standard output so far.
    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    size_t count(const std::string& needle) const;

private:
    int fSavedStdout = -1;
    int fFile = -1;
};
