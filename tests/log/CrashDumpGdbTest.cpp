// A helper process really crashes; its dump must open in gdb with the
// crashing function on the stack.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DumpTestSupport.h"

namespace {

const char kHelper[] = NERIVO_CRASH_HELPER;

struct CrashCase {
    const char* mode;
    int signo;
    const char* signalName;
    const char* function;  // frame #0 or near it, from the registers
    const char* caller;    // a frame found only by unwinding the dumped stack, if predictable
};

// Names the case in test output instead of its bytes.
void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.mode; }

const CrashCase kCrashCases[] = {
    {"segv", SIGSEGV, "SIGSEGV", "crash_here_for_test", "in main ("},
    {"overflow", SIGSEGV, "SIGSEGV", "overflow_here_for_test", nullptr},
    {"bus", SIGBUS, "SIGBUS", "bus_error_here_for_test", "in main ("},
    {"ill", SIGILL, "SIGILL", "trap_here_for_test", "in main ("},
    {"fpe", SIGFPE, "SIGFPE", "divide_here_for_test", "in main ("},
    {"abort", SIGABRT, "SIGABRT", "abort_here_for_test", "in main ("},
    {"segv_without_vm_readv", SIGSEGV, "SIGSEGV", "crash_here_for_test", "in main ("},
    {"thread", SIGSEGV, "SIGSEGV", "thread_crash_here_for_test", nullptr},
    {"thread_overflow", SIGSEGV, "SIGSEGV", "thread_overflow_here_for_test", nullptr},
};

// gdb's line for frame `number`, or "" when the backtrace has no such frame.
std::string frameLine(const std::string& trace, int number) {
    const std::string mark = "\n#" + std::to_string(number) + " ";
    size_t at = trace.find(mark);
    if (at == std::string::npos) return "";
    size_t end = trace.find('\n', at + 1);
    return trace.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

bool onPath(const char* program) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// The sanitizers' own handlers stay out of the way, so the filter sees the
// signals; whatever else ASAN_OPTIONS holds is kept.
void prepareCrashingChild() {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // no kernel core file next to ours
    struct rlimit stack;
    const rlim_t eightMiB = rlim_t{8} << 20;
    if (getrlimit(RLIMIT_STACK, &stack) == 0 && (stack.rlim_cur == RLIM_INFINITY || stack.rlim_cur > eightMiB)) {
        stack.rlim_cur = eightMiB;
        setrlimit(RLIMIT_STACK, &stack);
    }
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string();
    options += "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
}

// Waits at most `limit` for the child; kills it when it takes longer.
int waitBounded(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

// Runs argv with stdout and stderr captured, at most `limit` long.
std::string runCaptured(const std::vector<std::string>& args, std::chrono::seconds limit) {
    int out[2];
    if (pipe(out) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    std::thread reader([&text, fd = out[0]] {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    });
    if (pid > 0) waitBounded(pid, limit);
    reader.join();
    close(out[0]);
    return text;
}

class CrashDumpGdbTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashDumpGdbTest, DumpOpensInGdbAtTheCrash) {
    const CrashCase& c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    const time_t before = time(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        prepareCrashingChild();
        execl(kHelper, kHelper, c.mode, dir.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const int status = waitBounded(pid, std::chrono::seconds(120));
    const time_t after = time(nullptr);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signo);

    const std::vector<std::string> names = dir.dumpNames();
    ASSERT_EQ(names.size(), 1u);
    time_t when = 0;
    ASSERT_TRUE(dumpNameTime(names[0], when)) << names[0];
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);

    if (!onPath("gdb")) GTEST_SKIP() << "gdb is not installed; the dump file was checked without it";
    const std::string dump = dir.path() + "/" + names[0];
    const std::string trace = runCaptured({"timeout", "180", "gdb", "-batch", "-nx", "-iex",
                                           "set debuginfod enabled off", "-ex", "bt 40", kHelper, dump},
                                          std::chrono::seconds(200));
    EXPECT_NE(trace.find(std::string("Program terminated with signal ") + c.signalName), std::string::npos)
        << trace;
    EXPECT_NE(trace.find(c.function), std::string::npos) << trace;
    // Frames past the first need the stack's bytes from the dump.
    const std::string caller = frameLine(trace, 1);
    EXPECT_FALSE(caller.empty()) << trace;
    EXPECT_EQ(caller.find("0x0000000000000000"), std::string::npos) << trace;
    if (c.caller != nullptr) {
        EXPECT_NE(trace.find(c.caller), std::string::npos) << trace;
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashDumpGdbTest, ::testing::ValuesIn(kCrashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.mode); });

}  // namespace
