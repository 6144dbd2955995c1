#include "log/CrashDumpFilter.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <ucontext.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <asm/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

// Everything reachable from the signal handler is async-signal-safe: raw
// open/read/write/lseek syscalls, static buffers, no allocation, no stdio.
// The buffers are static rather than on the stack because the handler runs on
// a small alternate stack; one dump at a time uses them (lockDump).

#if defined(__x86_64__)
#define NERIVO_CORE_MACHINE EM_X86_64
#elif defined(__aarch64__)
#define NERIVO_CORE_MACHINE EM_AARCH64
#elif defined(__i386__)
#define NERIVO_CORE_MACHINE EM_386
#elif defined(__arm__)
#define NERIVO_CORE_MACHINE EM_ARM
#else
#error "CrashDumpFilter: unknown ELF machine for this architecture"
#endif

namespace {

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

constexpr size_t kMaxMappings = 32768;  // well below the 65535 program headers of ELF
constexpr size_t kPathPoolSize = 256 * 1024;
constexpr size_t kLineBufferSize = 16 * 1024;  // a maps line is at most PATH_MAX plus ~100
constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kOutBufferSize = 16 * 1024;
constexpr size_t kAuxvMax = 8 * 1024;
constexpr size_t kPageMapEntries = 512;  // pages probed per /proc/self/pagemap read
constexpr size_t kAltStackSize = 128 * 1024;
constexpr uint32_t kNoPath = UINT32_MAX;
const char kNoteName[8] = {'C', 'O', 'R', 'E', 0, 0, 0, 0};  // "CORE", padded to 4

enum MappingFlag : uint8_t { kRead = 1, kWrite = 2, kExec = 4, kNoDump = 8, kPrivateAnonymous = 16 };

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t fileOffset;
    uint32_t pathAt;  // into the path pool; kNoPath unless file-backed
    uint32_t pathLength;
    uint8_t flags;
};

struct Scratch {
    Mapping mappings[kMaxMappings];
    size_t mappingCount;
    char paths[kPathPoolSize];
    size_t pathsUsed;
    char lines[kLineBufferSize];
    char copy[kCopyChunk];
    char out[kOutBufferSize];
    uint64_t pageMap[kPageMapEntries];
    unsigned char auxv[kAuxvMax];
    size_t auxvSize;
    elf_prpsinfo process;
};

Scratch gScratch;
std::atomic<pid_t> gDumpingThread{0};  // the thread using gScratch, 0 when none

size_t pageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}

uint64_t alignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

bool writeFully(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Reads a whole (small) file into `buffer`; returns the bytes read.
size_t readSmallFile(const char* path, void* buffer, size_t capacity) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < capacity) {
        ssize_t n = ::read(fd, static_cast<char*>(buffer) + used, capacity - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    return used;
}

// ---- dump file name ------------------------------------------------------

char* putDigits(char* p, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + width;
}

char* putText(char* p, const char* text) {
    size_t length = strlen(text);
    memcpy(p, text, length);
    return p + length;
}

// "libTalvex_%04d%02d%02d %02d%02d%02d.dmp" without stdio.
void formatDumpName(char (&name)[260]) {
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr && gmtime_r(&now, &local) == nullptr) memset(&local, 0, sizeof local);
    char* p = putText(name, "libTalvex_");
    p = putDigits(p, local.tm_year + 1900, 4);
    p = putDigits(p, local.tm_mon + 1, 2);
    p = putDigits(p, local.tm_mday, 2);
    *p++ = ' ';
    p = putDigits(p, local.tm_hour, 2);
    p = putDigits(p, local.tm_min, 2);
    p = putDigits(p, local.tm_sec, 2);
    p = putText(p, ".dmp");
    *p = '\0';
}

// ---- /proc/self/smaps ----------------------------------------------------

// Splits a file into lines through a fixed buffer; an over-long line is
// returned cut to the buffer and its rest dropped.
class LineReader {
public:
    LineReader(int fd, char* buffer, size_t capacity) : fFd(fd), fBuffer(buffer), fCapacity(capacity) {}

    bool next(const char*& line, size_t& length) {
        for (;;) {
            char* newline = static_cast<char*>(memchr(fBuffer + fBegin, '\n', fEnd - fBegin));
            if (newline != nullptr) {
                bool dropped = fDropping;
                fDropping = false;
                line = fBuffer + fBegin;
                length = static_cast<size_t>(newline - line);
                fBegin = static_cast<size_t>(newline - fBuffer) + 1;
                if (dropped) continue;
                return true;
            }
            compact();
            if (fEnd == fCapacity) return cutLongLine(line, length);
            if (fEof) return takeRest(line, length);
            fill();
        }
    }

private:
    void compact() {
        if (fBegin == 0) return;
        memmove(fBuffer, fBuffer + fBegin, fEnd - fBegin);
        fEnd -= fBegin;
        fBegin = 0;
    }

    bool cutLongLine(const char*& line, size_t& length) {
        bool dropped = fDropping;
        fDropping = true;
        line = fBuffer;
        length = fEnd;
        fBegin = fEnd;
        if (dropped) return next(line, length);
        return true;
    }

    bool takeRest(const char*& line, size_t& length) {
        if (fBegin == fEnd || fDropping) return false;
        line = fBuffer + fBegin;
        length = fEnd - fBegin;
        fBegin = fEnd;
        return true;
    }

    void fill() {
        ssize_t n = ::read(fFd, fBuffer + fEnd, fCapacity - fEnd);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) fEof = true;
        else fEnd += static_cast<size_t>(n);
    }

    int fFd;
    char* fBuffer;
    size_t fCapacity;
    size_t fBegin = 0;
    size_t fEnd = 0;
    bool fEof = false;
    bool fDropping = false;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex(const char*& p, const char* end, uint64_t& value) {
    const char* first = p;
    value = 0;
    for (int digit; p < end && (digit = hexDigit(*p)) >= 0; ++p) value = value * 16 + static_cast<uint64_t>(digit);
    return p != first;
}

bool expect(const char*& p, const char* end, char c) {
    if (p >= end || *p != c) return false;
    ++p;
    return true;
}

const char* skipField(const char* p, const char* end) {
    while (p < end && *p != ' ') ++p;
    while (p < end && *p == ' ') ++p;
    return p;
}

uint8_t permissionFlags(const char* perms) {
    uint8_t flags = 0;
    if (perms[0] == 'r') flags |= kRead;
    if (perms[1] == 'w') flags |= kWrite;
    if (perms[2] == 'x') flags |= kExec;
    return flags;
}

bool startsWith(const char* text, size_t length, const char* prefix) {
    size_t prefixLength = strlen(prefix);
    return length >= prefixLength && memcmp(text, prefix, prefixLength) == 0;
}

// "start-end perms offset dev inode   path"
bool parseMapsLine(const char* line, size_t length, Mapping& mapping, const char*& path, size_t& pathLength,
                   bool& fileBacked) {
    const char* p = line;
    const char* end = line + length;
    uint64_t offset = 0;
    if (!parseHex(p, end, mapping.start) || !expect(p, end, '-') || !parseHex(p, end, mapping.end) ||
        !expect(p, end, ' ') || end - p < 5 || mapping.end <= mapping.start)
        return false;
    mapping.flags = permissionFlags(p);
    const bool privateMapping = p[3] == 'p';
    p = skipField(p, end);
    if (!parseHex(p, end, offset)) return false;
    mapping.fileOffset = offset;
    p = skipField(skipField(p, end), end);  // past the device, to the inode
    bool inodeZero = p < end && *p == '0' && (p + 1 == end || p[1] == ' ');
    p = skipField(p, end);
    path = p;
    pathLength = static_cast<size_t>(end - p);
    fileBacked = !inodeZero && pathLength > 0 && path[0] == '/';
    // Never-touched pages of these read as zeros; pagemap tells which they are.
    if (inodeZero && privateMapping) mapping.flags |= kPrivateAnonymous;
    // [vvar] pages fault on some reads; the kernel leaves them out of cores too.
    if (startsWith(path, pathLength, "[vvar")) mapping.flags |= kNoDump;
    return true;
}

// "VmFlags: rd wr mr mw me dd": dd (MADV_DONTDUMP, e.g. sanitizer shadow) and
// io (device memory) are left out, as the kernel's own core dumps do.
void applyVmFlags(const char* line, size_t length, Mapping& mapping) {
    for (size_t i = 8; i + 1 < length; ++i) {
        bool tokenStart = line[i - 1] == ' ';
        if (tokenStart && ((line[i] == 'd' && line[i + 1] == 'd') || (line[i] == 'i' && line[i + 1] == 'o')))
            mapping.flags |= kNoDump;
    }
}

uint32_t storePath(const char* path, size_t length) {
    Scratch& s = gScratch;
    if (s.mappingCount > 0) {
        const Mapping& previous = s.mappings[s.mappingCount - 1];
        if (previous.pathAt != kNoPath && previous.pathLength == length &&
            memcmp(s.paths + previous.pathAt, path, length) == 0)
            return previous.pathAt;
    }
    if (length + 1 > kPathPoolSize - s.pathsUsed) return kNoPath;
    uint32_t at = static_cast<uint32_t>(s.pathsUsed);
    memcpy(s.paths + at, path, length);
    s.paths[at + length] = '\0';
    s.pathsUsed += length + 1;
    return at;
}

void addMapping(const char* line, size_t length, bool& added) {
    Scratch& s = gScratch;
    added = false;
    Mapping mapping{};
    const char* path = nullptr;
    size_t pathLength = 0;
    bool fileBacked = false;
    if (s.mappingCount == kMaxMappings || !parseMapsLine(line, length, mapping, path, pathLength, fileBacked)) return;
    mapping.pathAt = fileBacked ? storePath(path, pathLength) : kNoPath;
    mapping.pathLength = mapping.pathAt == kNoPath ? 0 : static_cast<uint32_t>(pathLength);
    s.mappings[s.mappingCount++] = mapping;
    added = true;
}

// Mapping lines start with a lower-case hex address; smaps' other lines with
// a capitalised key ("Rss:", "AnonHugePages:", "VmFlags:").
bool isMappingLineStart(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// smaps gives the dont-dump flag; maps is the fallback where smaps is missing.
void readMappings() {
    Scratch& s = gScratch;
    s.mappingCount = 0;
    s.pathsUsed = 0;
    int fd = ::open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    LineReader reader(fd, s.lines, sizeof s.lines);
    const char* line = nullptr;
    size_t length = 0;
    bool lastAdded = false;
    while (reader.next(line, length)) {
        if (length > 0 && isMappingLineStart(line[0])) {
            addMapping(line, length, lastAdded);
        } else if (lastAdded && startsWith(line, length, "VmFlags:")) {
            applyVmFlags(line, length, s.mappings[s.mappingCount - 1]);
        }
    }
    ::close(fd);
}

bool isDumped(const Mapping& mapping) { return (mapping.flags & kRead) && !(mapping.flags & kNoDump); }

// ---- output --------------------------------------------------------------

// Buffered writer for the headers; memory goes out straight from the copy
// buffer, and all-zero chunks become holes in a sparse file.
class CoreWriter {
public:
    CoreWriter(int fd, char* buffer, size_t capacity) : fFd(fd), fBuffer(buffer), fCapacity(capacity) {}

    uint64_t offset() const { return fOffset; }
    bool failed() const { return fFailed; }

    void put(const void* data, size_t length) {
        const char* bytes = static_cast<const char*>(data);
        while (length > 0 && !fFailed) {
            if (fUsed == fCapacity) flush();
            size_t n = length < fCapacity - fUsed ? length : fCapacity - fUsed;
            memcpy(fBuffer + fUsed, bytes, n);
            fUsed += n;
            fOffset += n;
            bytes += n;
            length -= n;
        }
    }

    void putZeros(size_t length) {
        static const char kZeros[64] = {0};
        while (length > 0) {
            size_t n = length < sizeof kZeros ? length : sizeof kZeros;
            put(kZeros, n);
            length -= n;
        }
    }

    void putMemory(const char* data, size_t length) {
        if (isAllZero(data, length)) return skip(length);
        flush();
        if (!fFailed && !writeFully(fFd, data, length)) fFailed = true;
        fOffset += length;
    }

    // Zeros as a hole in the file.
    void skip(size_t length) {
        flush();
        if (!fFailed && ::lseek(fFd, static_cast<off_t>(length), SEEK_CUR) < 0) fFailed = true;
        fOffset += length;
    }

    // Flushes and sets the file's length (a trailing hole is not written).
    void finish() {
        flush();
        if (!fFailed && ::ftruncate(fFd, static_cast<off_t>(fOffset)) != 0) fFailed = true;
    }

private:
    static bool isAllZero(const char* data, size_t length) {
        for (size_t i = 0; i < length; ++i)
            if (data[i] != 0) return false;
        return true;
    }

    void flush() {
        if (fUsed > 0 && !fFailed && !writeFully(fFd, fBuffer, fUsed)) fFailed = true;
        fUsed = 0;
    }

    int fFd;
    char* fBuffer;
    size_t fCapacity;
    size_t fUsed = 0;
    uint64_t fOffset = 0;
    bool fFailed = false;
};

// ---- reading our own memory without faulting -----------------------------

// process_vm_readv reports unreadable pages as EFAULT instead of faulting.
// Where it is not allowed (seccomp), a write() of the page into a pipe does the
// same check.
class MemoryReader {
public:
    ~MemoryReader() {
        if (fPipe[0] >= 0) ::close(fPipe[0]);
        if (fPipe[1] >= 0) ::close(fPipe[1]);
    }

    // Fills `out` with the bytes at `address`; unreadable pages read as zeros.
    void read(uint64_t address, char* out, size_t length) {
        const size_t page = pageSize();
        size_t done = 0;
        while (done < length) {
            ssize_t got = readSome(address + done, out + done, length - done);
            if (got > 0) {
                done += static_cast<size_t>(got);
                continue;
            }
            size_t step = static_cast<size_t>(alignUp(address + done + 1, page) - (address + done));
            if (step > length - done) step = length - done;
            if (readSome(address + done, out + done, step) != static_cast<ssize_t>(step)) memset(out + done, 0, step);
            done += step;
        }
    }

private:
    ssize_t readSome(uint64_t address, char* out, size_t length) {
        if (!fUsePipe) {
            struct iovec local = {out, length};
            struct iovec remote = {reinterpret_cast<void*>(address), length};
            ssize_t got;
            do got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
            while (got < 0 && errno == EINTR);
            if (got >= 0 || (errno != ENOSYS && errno != EPERM)) return got;
            fUsePipe = true;
        }
        return readThroughPipe(address, out, length);
    }

    ssize_t readThroughPipe(uint64_t address, char* out, size_t length) {
        if (fPipe[0] < 0 && pipe2(fPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
        size_t page = pageSize();
        if (length > page) length = page;
        // The raw system call: a sanitizer's write() wrapper would check the
        // bytes itself and report the redzones it finds.
        ssize_t written = syscall(SYS_write, fPipe[1], reinterpret_cast<const void*>(address), length);
        if (written <= 0) return -1;
        size_t got = 0;
        while (got < static_cast<size_t>(written)) {
            ssize_t n = ::read(fPipe[0], out + got, static_cast<size_t>(written) - got);
            if (n <= 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
            got += static_cast<size_t>(n);
        }
        return written;
    }

    int fPipe[2] = {-1, -1};
    bool fUsePipe = false;
};

// ---- notes ---------------------------------------------------------------

size_t noteSize(size_t descSize) { return sizeof(ElfW(Nhdr)) + sizeof kNoteName + alignUp(descSize, 4); }

void putNoteHeader(CoreWriter& writer, uint32_t type, size_t descSize) {
    ElfW(Nhdr) header;
    header.n_namesz = 5;  // "CORE" and its terminator
    header.n_descsz = static_cast<uint32_t>(descSize);
    header.n_type = type;
    writer.put(&header, sizeof header);
    writer.put(kNoteName, sizeof kNoteName);
}

void putNote(CoreWriter& writer, uint32_t type, const void* desc, size_t descSize) {
    putNoteHeader(writer, type, descSize);
    writer.put(desc, descSize);
    writer.putZeros(alignUp(descSize, 4) - descSize);
}

// The registers in the layout of the architecture's user_regs_struct.
void fillRegisters(elf_prstatus& status, const ucontext_t& context) {
#if defined(__x86_64__)
    const greg_t* g = context.uc_mcontext.gregs;
    user_regs_struct r;
    memset(&r, 0, sizeof r);
    r.r15 = g[REG_R15];
    r.r14 = g[REG_R14];
    r.r13 = g[REG_R13];
    r.r12 = g[REG_R12];
    r.rbp = g[REG_RBP];
    r.rbx = g[REG_RBX];
    r.r11 = g[REG_R11];
    r.r10 = g[REG_R10];
    r.r9 = g[REG_R9];
    r.r8 = g[REG_R8];
    r.rax = g[REG_RAX];
    r.rcx = g[REG_RCX];
    r.rdx = g[REG_RDX];
    r.rsi = g[REG_RSI];
    r.rdi = g[REG_RDI];
    r.orig_rax = ~0ULL;  // not inside a system call
    r.rip = g[REG_RIP];
    r.eflags = g[REG_EFL];
    r.rsp = g[REG_RSP];
    // cs, gs, fs and (when the kernel saved it) ss packed in 16-bit fields.
    uint64_t selectors = static_cast<uint64_t>(g[REG_CSGSFS]);
    r.cs = selectors & 0xffff;
    r.gs = (selectors >> 16) & 0xffff;
    r.fs = (selectors >> 32) & 0xffff;
    r.ss = (context.uc_flags & 0x2 /* UC_SIGCONTEXT_SS */) ? (selectors >> 48) & 0xffff : 0x2b;
    unsigned long base = 0;
    if (syscall(SYS_arch_prctl, ARCH_GET_FS, &base) == 0) r.fs_base = base;
    if (syscall(SYS_arch_prctl, ARCH_GET_GS, &base) == 0) r.gs_base = base;
    static_assert(sizeof r == sizeof status.pr_reg, "user_regs_struct is the prstatus register set");
    memcpy(&status.pr_reg, &r, sizeof r);
#else
    (void)status;
    (void)context;  // registers are only mapped for x86_64; memory is still dumped
#endif
}

// The floating-point registers (fxsave layout), when the context has them.
const void* floatRegisters(const ucontext_t& context, size_t& size) {
#if defined(__x86_64__)
    size = sizeof(user_fpregs_struct);
    static_assert(sizeof(user_fpregs_struct) == sizeof(*context.uc_mcontext.fpregs), "fxsave area");
    return context.uc_mcontext.fpregs;
#else
    (void)context;
    size = 0;
    return nullptr;
#endif
}

void putStatusNote(CoreWriter& writer, int signo, const siginfo_t& info, const ucontext_t& context, bool fpValid) {
    elf_prstatus status;
    memset(&status, 0, sizeof status);
    status.pr_info.si_signo = signo;
    status.pr_info.si_code = info.si_code;
    status.pr_info.si_errno = info.si_errno;
    status.pr_cursig = static_cast<short>(signo);
    memcpy(&status.pr_sighold, &context.uc_sigmask, sizeof status.pr_sighold);
    status.pr_pid = static_cast<pid_t>(syscall(SYS_gettid));
    status.pr_ppid = getppid();
    status.pr_pgrp = getpgrp();
    status.pr_sid = getsid(0);
    fillRegisters(status, context);
    status.pr_fpvalid = fpValid ? 1 : 0;
    putNote(writer, NT_PRSTATUS, &status, sizeof status);
}

void readProcessInfo() {
    elf_prpsinfo& p = gScratch.process;
    memset(&p, 0, sizeof p);
    p.pr_sname = 'R';
    p.pr_uid = getuid();
    p.pr_gid = getgid();
    p.pr_pid = getpid();
    p.pr_ppid = getppid();
    p.pr_pgrp = getpgrp();
    p.pr_sid = getsid(0);
    size_t n = readSmallFile("/proc/self/comm", p.pr_fname, sizeof p.pr_fname - 1);
    if (n > 0 && p.pr_fname[n - 1] == '\n') p.pr_fname[n - 1] = '\0';
    n = readSmallFile("/proc/self/cmdline", p.pr_psargs, sizeof p.pr_psargs - 1);
    while (n > 0 && p.pr_psargs[n - 1] == '\0') --n;
    for (size_t i = 0; i < n; ++i)
        if (p.pr_psargs[i] == '\0') p.pr_psargs[i] = ' ';
}

size_t fileNoteSize(size_t& count) {
    const Scratch& s = gScratch;
    count = 0;
    size_t names = 0;
    for (size_t i = 0; i < s.mappingCount; ++i) {
        if (s.mappings[i].pathAt == kNoPath) continue;
        ++count;
        names += s.mappings[i].pathLength + 1;
    }
    return sizeof(long) * (2 + 3 * count) + names;
}

// NT_FILE: count, page size, (start, end, offset in pages) per file mapping,
// then the file names, so that gdb finds the shared libraries.
void putFileNote(CoreWriter& writer) {
    const Scratch& s = gScratch;
    size_t count = 0;
    size_t descSize = fileNoteSize(count);
    putNoteHeader(writer, NT_FILE, descSize);
    const long page = static_cast<long>(pageSize());
    long head[2] = {static_cast<long>(count), page};
    writer.put(head, sizeof head);
    for (size_t i = 0; i < s.mappingCount; ++i) {
        const Mapping& m = s.mappings[i];
        if (m.pathAt == kNoPath) continue;
        long entry[3] = {static_cast<long>(m.start), static_cast<long>(m.end), static_cast<long>(m.fileOffset) / page};
        writer.put(entry, sizeof entry);
    }
    for (size_t i = 0; i < s.mappingCount; ++i) {
        const Mapping& m = s.mappings[i];
        if (m.pathAt != kNoPath) writer.put(s.paths + m.pathAt, m.pathLength + 1);
    }
    writer.putZeros(alignUp(descSize, 4) - descSize);
}

struct NoteSet {
    const siginfo_t* info;
    const ucontext_t* context;
    const void* fpRegisters;
    size_t fpSize;
};

size_t notesSize(const NoteSet& notes) {
    size_t fileEntries = 0;
    size_t size = noteSize(sizeof(elf_prstatus)) + noteSize(sizeof(elf_prpsinfo)) + noteSize(sizeof(siginfo_t)) +
                  noteSize(gScratch.auxvSize) + noteSize(fileNoteSize(fileEntries));
    if (notes.fpRegisters != nullptr) size += noteSize(notes.fpSize);
    return size;
}

// Thread notes first (gdb takes the first NT_PRSTATUS as the current thread),
// then the process-wide ones.
void putNotes(CoreWriter& writer, int signo, const NoteSet& notes) {
    putStatusNote(writer, signo, *notes.info, *notes.context, notes.fpRegisters != nullptr);
    if (notes.fpRegisters != nullptr) putNote(writer, NT_FPREGSET, notes.fpRegisters, notes.fpSize);
    putNote(writer, NT_PRPSINFO, &gScratch.process, sizeof gScratch.process);
    putNote(writer, NT_SIGINFO, notes.info, sizeof(siginfo_t));
    putNote(writer, NT_AUXV, gScratch.auxv, gScratch.auxvSize);
    putFileNote(writer);
}

// ---- the core file -------------------------------------------------------

void putElfHeader(CoreWriter& writer, size_t programHeaders) {
    ElfW(Ehdr) header;
    memset(&header, 0, sizeof header);
    memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    header.e_ident[EI_DATA] = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_ident[EI_OSABI] = ELFOSABI_NONE;
    header.e_type = ET_CORE;
    header.e_machine = NERIVO_CORE_MACHINE;
    header.e_version = EV_CURRENT;
    header.e_phoff = sizeof header;
    header.e_ehsize = sizeof header;
    header.e_phentsize = sizeof(ElfW(Phdr));
    header.e_phnum = static_cast<uint16_t>(programHeaders);
    writer.put(&header, sizeof header);
}

ElfW(Word) segmentFlags(uint8_t flags) {
    return ((flags & kRead) ? PF_R : 0) | ((flags & kWrite) ? PF_W : 0) | ((flags & kExec) ? PF_X : 0);
}

void putProgramHeaders(CoreWriter& writer, uint64_t notesOffset, size_t notesLength, uint64_t dataOffset) {
    ElfW(Phdr) note;
    memset(&note, 0, sizeof note);
    note.p_type = PT_NOTE;
    note.p_offset = notesOffset;
    note.p_filesz = notesLength;
    note.p_align = 4;
    writer.put(&note, sizeof note);
    const Scratch& s = gScratch;
    for (size_t i = 0; i < s.mappingCount; ++i) {
        const Mapping& m = s.mappings[i];
        if (!isDumped(m)) continue;
        ElfW(Phdr) load;
        memset(&load, 0, sizeof load);
        load.p_type = PT_LOAD;
        load.p_flags = segmentFlags(m.flags);
        load.p_offset = dataOffset;
        load.p_vaddr = m.start;
        load.p_filesz = load.p_memsz = m.end - m.start;
        load.p_align = pageSize();
        writer.put(&load, sizeof load);
        dataOffset += m.end - m.start;
    }
}

// Which pages of a private anonymous mapping were never touched (neither
// present nor swapped): those read as zeros, so they are not read at all.
// Reading them would map a zero page for each, which makes large reserved
// regions and idle thread stacks slow to dump.
class UntouchedPages {
public:
    ~UntouchedPages() {
        if (fFd >= 0) ::close(fFd);
    }

    // Loads the entries of the window starting at `address`; false when
    // pagemap cannot tell.
    bool probe(uint64_t address, size_t pages) {
        if (fFd == -2) fFd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
        fStart = address;
        fPages = 0;
        if (fFd < 0) return false;
        const size_t bytes = pages * sizeof(uint64_t);
        const off_t at = static_cast<off_t>(address / pageSize() * sizeof(uint64_t));
        if (::pread(fFd, gScratch.pageMap, bytes, at) != static_cast<ssize_t>(bytes)) return false;
        fPages = pages;
        return true;
    }

    // True when every page of [address, address + length) inside the probed
    // window was never touched.
    bool untouched(uint64_t address, size_t length) const {
        const size_t page = pageSize();
        const uint64_t first = (address - fStart) / page;
        const uint64_t last = (address + length - 1 - fStart) / page;
        if (fPages == 0 || address < fStart || last >= fPages) return false;
        const uint64_t kPresentOrSwapped = (1ULL << 63) | (1ULL << 62);
        for (uint64_t i = first; i <= last; ++i)
            if (gScratch.pageMap[i] & kPresentOrSwapped) return false;
        return true;
    }

private:
    int fFd = -2;  // not opened yet
    uint64_t fStart = 0;
    size_t fPages = 0;
};

void putMapping(CoreWriter& writer, const Mapping& m, MemoryReader& reader, UntouchedPages& pages) {
    const size_t page = pageSize();
    const uint64_t window = kPageMapEntries * page;
    for (uint64_t base = m.start; base < m.end && !writer.failed(); base += window) {
        const uint64_t windowEnd = m.end - base < window ? m.end : base + window;
        const bool probed = (m.flags & kPrivateAnonymous) && pages.probe(base, (windowEnd - base) / page);
        for (uint64_t at = base; at < windowEnd && !writer.failed(); at += kCopyChunk) {
            size_t length = windowEnd - at < kCopyChunk ? static_cast<size_t>(windowEnd - at) : kCopyChunk;
            if (probed && pages.untouched(at, length)) {
                writer.skip(length);
                continue;
            }
            reader.read(at, gScratch.copy, length);
            writer.putMemory(gScratch.copy, length);
        }
    }
}

void putMemory(CoreWriter& writer) {
    const Scratch& s = gScratch;
    MemoryReader reader;
    UntouchedPages pages;
    for (size_t i = 0; i < s.mappingCount && !writer.failed(); ++i)
        if (isDumped(s.mappings[i])) putMapping(writer, s.mappings[i], reader, pages);
}

void writeCore(int fd, int signo, const NoteSet& notes) {
    readMappings();
    readProcessInfo();
    gScratch.auxvSize = readSmallFile("/proc/self/auxv", gScratch.auxv, sizeof gScratch.auxv);

    size_t loads = 0;
    for (size_t i = 0; i < gScratch.mappingCount; ++i) loads += isDumped(gScratch.mappings[i]) ? 1 : 0;
    const size_t headers = 1 + loads;
    const uint64_t notesOffset = sizeof(ElfW(Ehdr)) + headers * sizeof(ElfW(Phdr));
    const size_t notesLength = notesSize(notes);
    const uint64_t dataOffset = alignUp(notesOffset + notesLength, pageSize());

    CoreWriter writer(fd, gScratch.out, sizeof gScratch.out);
    putElfHeader(writer, headers);
    putProgramHeaders(writer, notesOffset, notesLength, dataOffset);
    putNotes(writer, signo, notes);
    writer.putZeros(dataOffset - writer.offset());
    putMemory(writer);
    writer.finish();
}

// One dump at a time: a second crashing thread waits; normally the first
// one ends the process before it gets its turn. A fault inside a dump on the
// same thread gets no second dump (false), so it cannot wait for itself.
bool lockDump() {
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    pid_t expected = 0;
    while (!gDumpingThread.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
        if (expected == self) return false;
        expected = 0;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

void unlockDump() { gDumpingThread.store(0, std::memory_order_release); }

// ---- handler and installation --------------------------------------------

void onCrashSignal(int signo, siginfo_t* info, void* context) {
    CrashDumpFilter(signo, info, context);
    // Default action, then the signal again: it stays pending while the
    // handler runs and ends the process as soon as the handler returns.
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

void installHandlers() {
    tzset();  // so that localtime_r in the handler has nothing left to load
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = onCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault inside the handler is then fatal at once instead of
    // re-entering it.
    sigemptyset(&action.sa_mask);
    for (int signo : kCrashSignals) sigaddset(&action.sa_mask, signo);
    for (int signo : kCrashSignals) sigaction(signo, &action, nullptr);
}

// The calling thread's alternate signal stack, with a guard page below it.
// Another owner's stack (a sanitizer's, the host's) is left in place.
class ThreadAltStack {
public:
    // Frees the stack only while it is still ours and can be switched off;
    // otherwise someone else may own that memory by now, so it is left alone.
    ~ThreadAltStack() {
        if (fMapping == nullptr) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & (SS_DISABLE | SS_ONSTACK)) ||
            current.ss_sp != fStack)
            return;
        stack_t off;
        memset(&off, 0, sizeof off);
        off.ss_flags = SS_DISABLE;
        if (sigaltstack(&off, nullptr) == 0) munmap(fMapping, fMappingSize);
    }

    void ensure() {
        stack_t current;
        if (fMapping != nullptr || sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
        const size_t guard = pageSize();
        size_t size = kAltStackSize;
        long minimum = sysconf(_SC_SIGSTKSZ);
        if (minimum > 0 && size < 4 * static_cast<size_t>(minimum)) size = alignUp(4 * minimum, guard);
        void* mapping = mmap(nullptr, size + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                             -1, 0);
        if (mapping == MAP_FAILED) return;
        mprotect(mapping, guard, PROT_NONE);
        stack_t stack;
        memset(&stack, 0, sizeof stack);
        stack.ss_sp = static_cast<char*>(mapping) + guard;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(mapping, size + guard);
            return;
        }
        fMapping = mapping;
        fMappingSize = size + guard;
        fStack = stack.ss_sp;
    }

private:
    void* fMapping = nullptr;
    size_t fMappingSize = 0;
    void* fStack = nullptr;
};

thread_local ThreadAltStack tAltStack;

}  // namespace

namespace {

int dumpWithContext(int signo, const siginfo_t* info, const ucontext_t& context) {
    siginfo_t fallbackInfo;
    if (info == nullptr) {
        memset(&fallbackInfo, 0, sizeof fallbackInfo);
        fallbackInfo.si_signo = signo;
        info = &fallbackInfo;
    }
    NoteSet notes = {info, &context, nullptr, 0};
    notes.fpRegisters = floatRegisters(context, notes.fpSize);

    if (!lockDump()) return 1;
    char name[260];
    formatDumpName(name);
    int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        writeCore(fd, signo, notes);
        ::close(fd);
    }
    unlockDump();
    return 1;
}

}  // namespace

int CrashDumpFilter(int signo, siginfo_t* info, void* ucontext) {
    const int savedErrno = errno;
    if (ucontext != nullptr) {
        dumpWithContext(signo, info, *static_cast<const ucontext_t*>(ucontext));
    } else {
        // Called outside a signal handler: record the caller's own registers.
        ucontext_t own;
        memset(&own, 0, sizeof own);
        getcontext(&own);
        dumpWithContext(signo, info, own);
    }
    errno = savedErrno;
    return 1;
}

void CrashDumpFilter_PrepareThread() { tAltStack.ensure(); }

void CrashDumpFilter_Install() {
    static std::once_flag once;
    std::call_once(once, installHandlers);
    CrashDumpFilter_PrepareThread();
}
