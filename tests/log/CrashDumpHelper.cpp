// Installs the crash-dump filter, enters the directory given and dies the
// way the first argument names, in a function whose name the test looks for
// in gdb's backtrace of the dump.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/CrashDumpFilter.h"

// Sanitizer checks stay out of these functions: the crash must be the
// hardware's, not a sanitizer's report.
#define CRASH_FUNCTION extern "C" __attribute__((noinline, no_sanitize("undefined")))

int* volatile gNowhere = nullptr;
volatile int gZero = 0;

CRASH_FUNCTION void crash_here_for_test() { *gNowhere = 42; }

CRASH_FUNCTION int overflow_here_for_test(int depth) {
    if (gZero != 0) return 0;  // never: the stack runs out first
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return overflow_here_for_test(depth + 1) + frame[0];
}

CRASH_FUNCTION void abort_here_for_test() { abort(); }

CRASH_FUNCTION void trap_here_for_test() { __builtin_trap(); }

CRASH_FUNCTION int divide_here_for_test() { return 7 / gZero; }

// A mapping that reaches past the end of its (empty) file: touching it is SIGBUS.
CRASH_FUNCTION void bus_error_here_for_test() {
    char name[] = "busXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return;
    unlink(name);
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED) return;
    static_cast<volatile char*>(page)[0] = 1;
}

CRASH_FUNCTION void thread_crash_here_for_test() { *gNowhere = 7; }

CRASH_FUNCTION int thread_overflow_here_for_test(int depth) {
    if (gZero != 0) return 0;
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return thread_overflow_here_for_test(depth + 1) + frame[0];
}

// The crash on a second thread; only a prepared thread survives its own
// stack overflow long enough to write the dump.
void crashOnAThread(bool overflow) {
    std::thread worker([overflow] {
        if (!overflow) return thread_crash_here_for_test();
        CrashDumpFilter_PrepareThread();
        thread_overflow_here_for_test(0);
    });
    worker.join();
}

// Makes process_vm_readv fail with EPERM, as some container profiles do, so
// that the dump has to read memory the other way.
bool forbidProcessVmReadv() {
    struct sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof rules / sizeof rules[0]), rules};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    CrashDumpFilter_Install();
    if (chdir(argv[2]) != 0) return 2;
    const char* mode = argv[1];
    if (strcmp(mode, "segv") == 0) crash_here_for_test();
    if (strcmp(mode, "overflow") == 0) return overflow_here_for_test(0);
    if (strcmp(mode, "abort") == 0) abort_here_for_test();
    if (strcmp(mode, "ill") == 0) trap_here_for_test();
    volatile int result = 0;  // keeps main on the stack under the crashing call
    if (strcmp(mode, "fpe") == 0) result = divide_here_for_test();
    if (strcmp(mode, "bus") == 0) bus_error_here_for_test();
    if (strcmp(mode, "segv_without_vm_readv") == 0 && forbidProcessVmReadv()) crash_here_for_test();
    if (strcmp(mode, "thread") == 0) crashOnAThread(false);
    if (strcmp(mode, "thread_overflow") == 0) crashOnAThread(true);
    return 3 + result;
}
