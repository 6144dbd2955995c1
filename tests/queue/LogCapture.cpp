#include "LogCapture.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

bool LogLine::operator==(const LogLine& other) const {
    bool levelsMatch = level == kUnknownLevel || other.level == kUnknownLevel || level == other.level;
    return levelsMatch && text == other.text;
}

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "{" << line.level << ", \"" << line.text << "\"}";
}

LogCapture::LogCapture() {
    int fds[2];
    if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) == 0) {
        struct termios raw;
        if (tcgetattr(fds[1], &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(fds[1], TCSANOW, &raw);
        }
        fLevelsVisible = true;
    } else if (pipe(fds) != 0) {
        return;
    }
    fReadEnd = fds[0];
    fWriteEnd = fds[1];
    fflush(stdout);
    fSavedStdout = dup(STDOUT_FILENO);
    dup2(fWriteEnd, STDOUT_FILENO);
    fDrainer = std::thread([this] { drain(); });
}

LogCapture::~LogCapture() { finish(); }

void LogCapture::drain() {
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fReadEnd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EOF on the pipe, EIO on the pty once every writer is gone
        fOutput.append(chunk, static_cast<size_t>(n));
    }
}

std::vector<LogLine> LogCapture::finish() {
    if (fFinished) return fLines;
    fFinished = true;
    if (fSavedStdout < 0) return fLines;
    fflush(stdout);
    dup2(fSavedStdout, STDOUT_FILENO);
    close(fSavedStdout);
    close(fWriteEnd);
    fDrainer.join();
    close(fReadEnd);
    fLines = parseLogOutput(fOutput, fLevelsVisible);
    return fLines;
}

namespace {

int levelOfColour(const std::string& escape) {
    if (escape == "\033[92m") return 0;
    if (escape == "\033[91m") return 1;
    if (escape == "\033[91;41m") return 3;
    return kUnknownLevel;
}

bool startsWithStamp(const std::string& text, size_t pos) {
    static const char kShape[] = "dddddddd dddddd ";  // "%Y%m%d %H%M%S "
    if (text.size() < pos + sizeof kShape - 1) return false;
    for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
        char c = text[pos + i];
        bool ok = kShape[i] == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0 : c == ' ';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::vector<LogLine> parseLogOutput(const std::string& output, bool levelsVisible) {
    static const std::string kReset = "\033[0m";
    std::vector<LogLine> lines;
    size_t pos = 0;
    while (pos < output.size()) {
        if (output.compare(pos, kReset.size(), kReset) == 0) {  // end of the previous coloured line
            pos += kReset.size();
            continue;
        }
        int level = levelsVisible ? 2 : kUnknownLevel;  // uncoloured lines are level 2
        if (output.compare(pos, 2, "\033[") == 0) {
            size_t end = output.find('m', pos);
            if (end == std::string::npos) break;
            level = levelOfColour(output.substr(pos, end + 1 - pos));
            pos = end + 1;
        }
        if (startsWithStamp(output, pos)) pos += 16;
        size_t newline = output.find('\n', pos);
        if (newline == std::string::npos) newline = output.size();
        lines.push_back(LogLine{level, output.substr(pos, newline - pos)});
        pos = newline + 1;
    }
    return lines;
}
