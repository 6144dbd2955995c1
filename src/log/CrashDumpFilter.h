// Crash dumps: when the process dies of SIGSEGV, SIGBUS, SIGILL, SIGFPE or
// SIGABRT, an ELF core file of the whole process is written to
// "libTalvex_YYYYMMDD HHMMSS.dmp" (local time) in the current directory, so
// that the crash can be opened with gdb. Then the signal's default action
// ends the process as it would have ended without the filter.
#pragma once

#include <signal.h>

// Installs the signal handlers once per process (later calls only prepare
// the calling thread). Thread-safe.
void CrashDumpFilter_Install();

// Gives the calling thread an alternate signal stack, unless it has one
// already, so that a stack overflow on this thread still produces a dump.
// The stack is freed when the thread ends. Threads that the library creates
// call this once at their start.
void CrashDumpFilter_PrepareThread();

// Writes the dump for `signo` with the signal's details and the interrupted
// context (either may be null: then the caller's own context is recorded).
// Async-signal-safe. Always returns 1.
int CrashDumpFilter(int signo, siginfo_t* info, void* ucontext);
