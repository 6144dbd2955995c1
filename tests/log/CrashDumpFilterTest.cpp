// The filter called directly in the test process: what the core file holds.
#include "log/CrashDumpFilter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "CoreFile.h"
#include "DumpTestSupport.h"

namespace {

unsigned char gMarker[3 * 4096 + 17];  // spans pages of the data segment

void fillPattern(unsigned char* data, size_t length, unsigned seed) {
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CrashDumpFilterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(fDir.path().empty()); }

    // Calls the filter in fDir and opens the one dump it wrote.
    void dump(int signo, siginfo_t* info, void* context) {
        time_t before = time(nullptr);
        {
            CurrentDirectory inDir(fDir.path());
            ASSERT_EQ(CrashDumpFilter(signo, info, context), 1);
        }
        time_t after = time(nullptr);
        std::vector<std::string> names = fDir.dumpNames();
        ASSERT_EQ(names.size(), 1u);
        time_t when = 0;
        ASSERT_TRUE(dumpNameTime(names[0], when)) << names[0];
        EXPECT_GE(when, before);
        EXPECT_LE(when, after);
        std::string error;
        ASSERT_TRUE(fCore.open(fDir.path() + "/" + names[0], error)) << error;
    }

    elf_prstatus status() const {
        elf_prstatus result;
        memset(&result, 0, sizeof result);
        const CoreFile::Note* note = fCore.findNote(NT_PRSTATUS);
        if (note != nullptr && note->size == sizeof result) memcpy(&result, note->desc, sizeof result);
        return result;
    }

    TempDir fDir;
    CoreFile fCore;
};

TEST_F(CrashDumpFilterTest, CoreHeaderAndNotesDescribeThisProcess) {
    ASSERT_NO_FATAL_FAILURE(dump(SIGSEGV, nullptr, nullptr));
    const Elf64_Ehdr& h = fCore.header();
    EXPECT_EQ(h.e_machine, EM_X86_64);
    EXPECT_EQ(h.e_ident[EI_DATA], ELFDATA2LSB);
    ASSERT_FALSE(fCore.segments().empty());
    EXPECT_EQ(fCore.segments()[0].p_type, static_cast<uint32_t>(PT_NOTE));
    EXPECT_EQ(fCore.size(), fCore.contentEnd());

    // The crashing thread comes first: gdb makes it the current thread.
    ASSERT_FALSE(fCore.notes().empty());
    EXPECT_EQ(fCore.notes()[0].type, static_cast<uint32_t>(NT_PRSTATUS));
    for (const CoreFile::Note& note : fCore.notes()) EXPECT_EQ(note.name, "CORE");
    elf_prstatus thread = status();
    EXPECT_EQ(thread.pr_pid, static_cast<pid_t>(syscall(SYS_gettid)));
    EXPECT_EQ(thread.pr_cursig, SIGSEGV);
    EXPECT_EQ(thread.pr_info.si_signo, SIGSEGV);

    const CoreFile::Note* process = fCore.findNote(NT_PRPSINFO);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(process->size, sizeof(elf_prpsinfo));
    elf_prpsinfo info;
    memcpy(&info, process->desc, sizeof info);
    EXPECT_EQ(info.pr_pid, getpid());
    EXPECT_EQ(std::string(info.pr_fname, strnlen(info.pr_fname, sizeof info.pr_fname)) + "\n",
              readWholeFile("/proc/self/comm"));

    const CoreFile::Note* auxv = fCore.findNote(NT_AUXV);
    ASSERT_NE(auxv, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(auxv->desc), auxv->size), readWholeFile("/proc/self/auxv"));

    const CoreFile::Note* signal = fCore.findNote(NT_SIGINFO);
    ASSERT_NE(signal, nullptr);
    ASSERT_EQ(signal->size, sizeof(siginfo_t));
    siginfo_t recorded;
    memcpy(&recorded, signal->desc, sizeof recorded);
    EXPECT_EQ(recorded.si_signo, SIGSEGV);
}

// gdb finds the executable and the shared libraries through NT_FILE.
TEST_F(CrashDumpFilterTest, FileNoteListsTheLoadedFiles) {
    ASSERT_NO_FATAL_FAILURE(dump(SIGBUS, nullptr, nullptr));
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    const std::string exePath(exe, static_cast<size_t>(n));
    const uint64_t code = reinterpret_cast<uint64_t>(&fillPattern);

    bool exeCoversCode = false;
    bool libcListed = false;
    for (const CoreFile::FileMapping& m : fCore.fileMappings()) {
        EXPECT_LT(m.start, m.end) << m.path;
        EXPECT_EQ(m.path.front(), '/') << m.path;
        if (m.path == exePath && code >= m.start && code < m.end) exeCoversCode = true;
        if (m.path.find("/libc.so") != std::string::npos) libcListed = true;
    }
    EXPECT_TRUE(exeCoversCode);
    EXPECT_TRUE(libcListed);
}

// Every general register lands in its user_regs_struct slot.
TEST_F(CrashDumpFilterTest, RegistersComeFromTheInterruptedContext) {
    struct Slot {
        const char* name;
        int greg;
        size_t offset;
    };
#define SLOT(field, greg) {#field, greg, offsetof(user_regs_struct, field)}
    const Slot slots[] = {
        SLOT(r15, REG_R15), SLOT(r14, REG_R14), SLOT(r13, REG_R13), SLOT(r12, REG_R12), SLOT(rbp, REG_RBP),
        SLOT(rbx, REG_RBX), SLOT(r11, REG_R11), SLOT(r10, REG_R10), SLOT(r9, REG_R9),   SLOT(r8, REG_R8),
        SLOT(rax, REG_RAX), SLOT(rcx, REG_RCX), SLOT(rdx, REG_RDX), SLOT(rsi, REG_RSI), SLOT(rdi, REG_RDI),
        SLOT(rip, REG_RIP), SLOT(eflags, REG_EFL), SLOT(rsp, REG_RSP),
    };
#undef SLOT
    ucontext_t context;
    memset(&context, 0, sizeof context);
    for (const Slot& slot : slots) context.uc_mcontext.gregs[slot.greg] = 0x1111000000 + slot.greg * 0x101;
    context.uc_mcontext.gregs[REG_CSGSFS] = 0x33;
    siginfo_t info;
    memset(&info, 0, sizeof info);
    info.si_signo = SIGSEGV;
    info.si_code = SEGV_MAPERR;

    ASSERT_NO_FATAL_FAILURE(dump(SIGSEGV, &info, &context));
    elf_prstatus thread = status();
    const unsigned char* regs = reinterpret_cast<const unsigned char*>(&thread.pr_reg);
    for (const Slot& slot : slots) {
        uint64_t value = 0;
        memcpy(&value, regs + slot.offset, sizeof value);
        EXPECT_EQ(value, 0x1111000000u + slot.greg * 0x101u) << slot.name;
    }
    user_regs_struct r;
    memcpy(&r, &thread.pr_reg, sizeof r);
    EXPECT_EQ(r.cs, 0x33u);
    EXPECT_EQ(thread.pr_info.si_code, SEGV_MAPERR);
    EXPECT_EQ(fCore.findNote(NT_FPREGSET), nullptr);  // the context had none
}

TEST_F(CrashDumpFilterTest, MemoryIsDumpedAtItsAddresses) {
    fillPattern(gMarker, sizeof gMarker, 7);
    std::vector<unsigned char> heap(1 << 20);
    fillPattern(heap.data(), heap.size(), 11);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* untouched = mmap(nullptr, 64 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(untouched, MAP_FAILED);

    ASSERT_NO_FATAL_FAILURE(dump(SIGFPE, nullptr, nullptr));
    struct Region {
        const char* what;
        const void* address;
        size_t length;
    };
    const std::vector<unsigned char> zeros(64 * page, 0);
    const Region regions[] = {
        {"static data", gMarker, sizeof gMarker},
        {"heap", heap.data(), heap.size()},
        {"code", reinterpret_cast<const void*>(&fillPattern), 64},
        {"untouched pages", zeros.data(), zeros.size()},
    };
    for (const Region& region : regions) {
        const void* address = region.address == zeros.data() ? untouched : region.address;
        const std::vector<unsigned char> dumped = fCore.memory(reinterpret_cast<uint64_t>(address), region.length);
        ASSERT_EQ(dumped.size(), region.length) << region.what;
        EXPECT_EQ(memcmp(dumped.data(), region.address, region.length), 0) << region.what;
    }
    // Called outside a handler, the filter records its caller's registers.
    EXPECT_NE(fCore.findNote(NT_FPREGSET), nullptr);
    EXPECT_EQ(fCore.size(), fCore.contentEnd());
    munmap(untouched, 64 * page);
}

std::string vvarStart() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("[vvar]") != std::string::npos) return line.substr(0, line.find('-'));
    return "";
}

// Pages that cannot be read, or must not be, never crash the dump.
TEST_F(CrashDumpFilterTest, UnreadableAndExcludedMemory) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* inaccessible = mmap(nullptr, 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* excluded = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(inaccessible, MAP_FAILED);
    ASSERT_NE(excluded, MAP_FAILED);
    memset(excluded, 0xAB, 2 * page);
    ASSERT_EQ(madvise(excluded, 2 * page, MADV_DONTDUMP), 0);
    // Three pages over a one-page file: reading the last two raises SIGBUS.
    const std::string filePath = fDir.path() + "/one_page";
    int fd = open(filePath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> content(page, 0x5A);
    ASSERT_EQ(write(fd, content.data(), page), static_cast<ssize_t>(page));
    void* pastEnd = mmap(nullptr, 3 * page, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(pastEnd, MAP_FAILED);

    ASSERT_NO_FATAL_FAILURE(dump(SIGSEGV, nullptr, nullptr));
    EXPECT_EQ(fCore.loadCovering(reinterpret_cast<uint64_t>(inaccessible)), nullptr);
    EXPECT_EQ(fCore.loadCovering(reinterpret_cast<uint64_t>(excluded)), nullptr);
    const std::vector<unsigned char> dumped = fCore.memory(reinterpret_cast<uint64_t>(pastEnd), 3 * page);
    ASSERT_EQ(dumped.size(), 3 * page);
    EXPECT_EQ(memcmp(dumped.data(), content.data(), page), 0);
    EXPECT_TRUE(std::all_of(dumped.begin() + page, dumped.end(), [](unsigned char c) { return c == 0; }));
    std::string vvar = vvarStart();
    if (!vvar.empty()) {
        EXPECT_EQ(fCore.loadCovering(std::stoull(vvar, nullptr, 16)), nullptr);
    }

    munmap(inaccessible, 2 * page);
    munmap(excluded, 2 * page);
    munmap(pastEnd, 3 * page);
}

// A file of the dump's name is replaced, not extended: the stale files are
// large and begin with text, the dump must end where its content ends.
TEST_F(CrashDumpFilterTest, ReplacesAFileOfTheSameName) {
    const time_t now = time(nullptr);
    for (int ahead = 0; ahead < 10; ++ahead) {
        time_t when = now + ahead;
        struct tm local;
        localtime_r(&when, &local);
        char name[64];
        strftime(name, sizeof name, "libTalvex_%Y%m%d %H%M%S.dmp", &local);
        int fd = open((fDir.path() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "STALE", 5), 5);
        ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
        close(fd);
    }
    {
        CurrentDirectory inDir(fDir.path());
        ASSERT_EQ(CrashDumpFilter(SIGILL, nullptr, nullptr), 1);
    }
    int cores = 0;
    for (const std::string& name : fDir.dumpNames()) {
        CoreFile core;
        std::string error;
        if (!core.open(fDir.path() + "/" + name, error)) continue;
        ++cores;
        EXPECT_EQ(core.size(), core.contentEnd()) << name;
    }
    EXPECT_EQ(cores, 1);
    EXPECT_EQ(fDir.dumpNames().size(), 10u);  // written over one of the stale files
}

// Two threads dumping at once take turns: every file is a whole, valid core.
TEST_F(CrashDumpFilterTest, ConcurrentDumpsTakeTurns) {
    fillPattern(gMarker, sizeof gMarker, 3);
    std::atomic<int> ready{0};
    auto dumpOnce = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        EXPECT_EQ(CrashDumpFilter(SIGABRT, nullptr, nullptr), 1);
    };
    {
        CurrentDirectory inDir(fDir.path());
        std::thread first(dumpOnce);
        std::thread second(dumpOnce);
        first.join();
        second.join();
    }
    std::vector<std::string> names = fDir.dumpNames();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        CoreFile core;
        std::string error;
        ASSERT_TRUE(core.open(fDir.path() + "/" + name, error)) << name << ": " << error;
        EXPECT_EQ(core.size(), core.contentEnd());
        const std::vector<unsigned char> dumped = core.memory(reinterpret_cast<uint64_t>(gMarker), sizeof gMarker);
        ASSERT_EQ(dumped.size(), sizeof gMarker);
        EXPECT_EQ(memcmp(dumped.data(), gMarker, sizeof gMarker), 0);
    }
}

// Installation from several threads at once sets one handler for all five
// signals, on the alternate stack, and gives each caller such a stack.
TEST(CrashDumpFilterInstall, ConcurrentInstallsSetOneHandler) {
    std::atomic<int> withAltStack{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&withAltStack] {
            CrashDumpFilter_Install();
            stack_t current;
            if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_size >= 16384)
                withAltStack.fetch_add(1);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(withAltStack.load(), 4);

    const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
    struct sigaction first;
    ASSERT_EQ(sigaction(SIGSEGV, nullptr, &first), 0);
    for (int signo : signals) {
        struct sigaction action;
        ASSERT_EQ(sigaction(signo, nullptr, &action), 0);
        EXPECT_EQ(action.sa_sigaction, first.sa_sigaction) << signo;
        EXPECT_NE(reinterpret_cast<void*>(action.sa_sigaction), reinterpret_cast<void*>(SIG_DFL)) << signo;
        EXPECT_TRUE(action.sa_flags & SA_SIGINFO) << signo;
        EXPECT_TRUE(action.sa_flags & SA_ONSTACK) << signo;
        for (int blocked : signals) EXPECT_TRUE(sigismember(&action.sa_mask, blocked)) << signo << "/" << blocked;
    }
}

}  // namespace
