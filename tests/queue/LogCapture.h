// Captures the log lines written to standard output while it is alive.
// Standard output is pointed at a pseudo-terminal so that the writer colours
// each line by its level, which tells the level back; where no pseudo-terminal
// can be opened a pipe is used and levels read as kUnknownLevel.
#pragma once

#include <ostream>
#include <string>
#include <thread>
#include <vector>

struct LogLine {
    int level;
    std::string text;  // without time stamp and trailing newline
    bool operator==(const LogLine& other) const;
};
std::ostream& operator<<(std::ostream& out, const LogLine& line);

constexpr int kUnknownLevel = -1;

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Restores standard output and returns the lines written since construction.
    std::vector<LogLine> finish();

private:
    void drain();

    int fSavedStdout = -1;
    int fReadEnd = -1;
    int fWriteEnd = -1;
    bool fLevelsVisible = false;
    bool fFinished = false;
    std::string fOutput;
    std::thread fDrainer;
    std::vector<LogLine> fLines;
};

// Parses raw standard-output text of the log writer into lines.
std::vector<LogLine> parseLogOutput(const std::string& output, bool levelsVisible);

// Runs fn and returns the log lines it wrote.
template <typename Fn>
std::vector<LogLine> captureLog(Fn&& fn) {
    LogCapture capture;
    fn();
    return capture.finish();
}
