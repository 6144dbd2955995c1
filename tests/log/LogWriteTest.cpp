// Log_Write as it reaches standard output: time stamp, length limit, one
// write per line, colours only on a terminal.
#include "log/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TextShape.h"

namespace {

// Points fd 1 at another descriptor while the object lives.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int fd) {
        fflush(stdout);
        fSaved = dup(STDOUT_FILENO);
        dup2(fd, STDOUT_FILENO);
    }
    ~StdoutRedirect() {
        fflush(stdout);
        dup2(fSaved, STDOUT_FILENO);
        close(fSaved);
    }
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

private:
    int fSaved;
};

// Records what is written to fd 1 through a SOCK_SEQPACKET pair: every
// write() arrives as one record, so the records show how lines were written.
class WriteRecorder {
public:
    WriteRecorder() {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fPair) != 0) return;
        fReader = std::thread([this] {
            std::vector<char> buffer(1 << 16);
            for (ssize_t n; (n = recv(fPair[1], buffer.data(), buffer.size(), 0)) > 0;)
                fRecords.emplace_back(buffer.data(), static_cast<size_t>(n));
        });
        fRedirect.emplace(fPair[0]);
    }
    ~WriteRecorder() { stop(); }
    WriteRecorder(const WriteRecorder&) = delete;
    WriteRecorder& operator=(const WriteRecorder&) = delete;

    // Restores fd 1 and returns the records written meanwhile.
    const std::vector<std::string>& stop() {
        if (fRedirect) {
            fRedirect.reset();
            close(fPair[0]);  // the reader sees the end once fd 1 no longer refers to it
            fReader.join();
            close(fPair[1]);
        }
        return fRecords;
    }

private:
    int fPair[2] = {-1, -1};
    std::thread fReader;
    std::optional<StdoutRedirect> fRedirect;
    std::vector<std::string> fRecords;
};

// The line inside its colour escapes, if it has any.
std::string withoutColour(const std::string& record) {
    std::string text = record;
    if (text.rfind("\x1b[", 0) == 0 && text.find('m') != std::string::npos) text.erase(0, text.find('m') + 1);
    const std::string reset = "\x1b[0m";
    if (text.size() >= reset.size() && text.compare(text.size() - reset.size(), reset.size(), reset) == 0)
        text.erase(text.size() - reset.size());
    return text;
}

TEST(LogWrite, LineStartsWithTheLocalTime) {
    const time_t before = time(nullptr);
    WriteRecorder recorder;
    Log_Write(LOG_DEBUG, "stamp check %d\n", 42);
    const std::vector<std::string>& records = recorder.stop();
    const time_t after = time(nullptr);

    ASSERT_EQ(records.size(), 1u);
    const std::string& line = records[0];
    ASSERT_TRUE(isShape(line, std::string(kStampShape) + "stamp check 42\n")) << line;
    const time_t stamped = localTimeAt(line, 0);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST(LogWrite, MessagesAreCutAfter1023Characters) {
    struct Case {
        size_t length;    // of the message, its final newline included
        size_t expected;  // characters of it that are written
    };
    const Case cases[] = {{1, 1}, {1022, 1022}, {1023, 1023}, {1024, 1023}, {1100, 1023}};
    for (const Case& c : cases) {
        std::string message(c.length - 1, 'x');
        for (size_t i = 0; i < message.size(); i += 100) message[i] = static_cast<char>('0' + i / 100 % 10);
        message += '\n';
        WriteRecorder recorder;
        Log_Write(LOG_DEBUG, "%s", message.c_str());
        const std::vector<std::string>& records = recorder.stop();
        ASSERT_EQ(records.size(), 1u) << c.length;
        EXPECT_TRUE(hasShape(records[0], 0, kStampShape)) << c.length;
        EXPECT_EQ(records[0].substr(kStampLength), message.substr(0, c.expected)) << c.length;
    }
}

// Four threads log at once; each record (one write) must be one whole line.
TEST(LogWrite, LinesOfConcurrentThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    WriteRecorder recorder;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            const std::string body(900, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) Log_Write(t % 4, "T%d L%03d %s\n", t, i, body.c_str());
        });
    }
    for (std::thread& w : writers) w.join();
    const std::vector<std::string> records = recorder.stop();

    std::set<std::pair<int, int>> seen;
    for (const std::string& record : records) {
        const std::string text = withoutColour(record);
        ASSERT_TRUE(hasShape(text, 0, std::string(kStampShape) + "T# L### ")) << record.substr(0, 80);
        const int thread = text[kStampLength + 1] - '0';
        const int line = std::stoi(text.substr(kStampLength + 4, 3));
        EXPECT_EQ(text.substr(kStampLength + 8), std::string(900, static_cast<char>('a' + thread)) + "\n")
            << record.substr(0, 80);
        EXPECT_TRUE(seen.insert({thread, line}).second);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

// A pseudo-terminal on fd 1, raw so that the bytes arrive unchanged.
class TerminalStdout {
public:
    TerminalStdout() {
        if (openpty(&fMaster, &fSlave, nullptr, nullptr, nullptr) != 0) return;
        struct termios raw;
        tcgetattr(fSlave, &raw);
        cfmakeraw(&raw);
        tcsetattr(fSlave, TCSANOW, &raw);
        fRedirect.emplace(fSlave);
    }
    ~TerminalStdout() {
        fRedirect.reset();
        if (fSlave >= 0) close(fSlave);
        if (fMaster >= 0) close(fMaster);
    }
    TerminalStdout(const TerminalStdout&) = delete;
    TerminalStdout& operator=(const TerminalStdout&) = delete;

    bool ready() const { return fRedirect.has_value(); }

    // Everything written before a sentinel byte that this call writes itself.
    std::string take() {
        const char sentinel = '\x01';
        if (write(STDOUT_FILENO, &sentinel, 1) != 1) return "";
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (text.find(sentinel) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {fMaster, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(fMaster, buffer, sizeof buffer);
            if (n > 0) text.append(buffer, static_cast<size_t>(n));
        }
        size_t end = text.find(sentinel);
        return end == std::string::npos ? "(no sentinel) " + text : text.substr(0, end);
    }

private:
    int fMaster = -1;
    int fSlave = -1;
    std::optional<StdoutRedirect> fRedirect;
};

struct ColourCase {
    int level;
    bool coloured;
};
const ColourCase kColourCases[] = {{LOG_INFO, true}, {LOG_WARN, true}, {LOG_DEBUG, false}, {LOG_ERROR, true}, {4, false}};

TEST(LogWrite, TerminalLinesAreColouredByLevel) {
    TerminalStdout terminal;
    ASSERT_TRUE(terminal.ready());
    std::vector<std::string> outputs;
    for (const ColourCase& c : kColourCases) {
        Log_Write(c.level, "colour check %d\n", c.level);
        outputs.push_back(terminal.take());
    }
    std::set<std::string> openings;
    for (size_t i = 0; i < outputs.size(); ++i) {
        const ColourCase& c = kColourCases[i];
        const std::string& out = outputs[i];
        const std::string text = std::string(kStampShape) + "colour check " + std::to_string(c.level) + "\n";
        const std::string reset = "\x1b[0m";
        if (c.coloured) {
            const size_t opening = out.find('m') + 1;
            EXPECT_TRUE(out.rfind("\x1b[", 0) == 0 && opening > 0) << c.level << ": " << out;
            EXPECT_TRUE(isShape(out.substr(opening), text + reset)) << c.level << ": " << out;
            openings.insert(out.substr(0, opening));
        } else {
            EXPECT_EQ(out.find('\x1b'), std::string::npos) << c.level << ": " << out;
            EXPECT_TRUE(isShape(out, text)) << c.level << ": " << out;
        }
    }
    EXPECT_EQ(openings.size(), 3u);  // each coloured level has its own colour
}

TEST(LogWrite, NoEscapesWhenStdoutIsNotATerminal) {
    WriteRecorder recorder;
    for (const ColourCase& c : kColourCases) Log_Write(c.level, "plain %d\n", c.level);
    const std::vector<std::string>& records = recorder.stop();
    ASSERT_EQ(records.size(), std::size(kColourCases));
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string text = std::string(kStampShape) + "plain " + std::to_string(kColourCases[i].level) + "\n";
        EXPECT_TRUE(isShape(records[i], text)) << records[i];
    }
}

}  // namespace
