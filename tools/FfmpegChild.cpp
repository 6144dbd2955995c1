#include "FfmpegChild.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

// Write ends are moved above this before the child maps them onto 3, 4, ...
static constexpr int kHighFd = 64;

std::vector<std::string> testPatternArguments() {
    return {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
            "-re", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
            "-re", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:samples_per_frame=160",
            "-map", "0:v", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
            "-pix_fmt", "yuv420p", "-g", "50", "-bf", "0", "-f", "h264", "pipe:3",
            "-map", "1:a", "-c:a", "pcm_mulaw", "-ac", "1", "-f", "mulaw", "pipe:4"};
}

FfmpegChild::~FfmpegChild() { terminate(); }

bool FfmpegChild::start(const std::vector<std::string>& arguments, unsigned outputs, std::string& error) {
    std::vector<int> writeEnds;
    bool ok = true;
    for (unsigned i = 0; ok && i < outputs; ++i) {
        int ends[2];
        ok = pipe2(ends, O_CLOEXEC) == 0;
        if (!ok) break;
        fReadEnds.push_back(ends[0]);
        // Above 3 + outputs, so that mapping one cannot overwrite another.
        int high = fcntl(ends[1], F_DUPFD_CLOEXEC, kHighFd);
        close(ends[1]);
        ok = high >= 0;
        if (ok) writeEnds.push_back(high);
    }
    if (!ok) error = std::string("cannot make a pipe: ") + strerror(errno);
    ok = ok && spawn(arguments, writeEnds, error);
    for (int fd : writeEnds) close(fd);
    if (!ok) closePipes();
    return ok;
}

bool FfmpegChild::spawn(const std::vector<std::string>& arguments, const std::vector<int>& writeEnds,
                        std::string& error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (size_t i = 0; i < writeEnds.size(); ++i) {
        posix_spawn_file_actions_adddup2(&actions, writeEnds[i], static_cast<int>(3 + i));
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, static_cast<int>(3 + writeEnds.size()));
    // The child starts with no blocked signals and default actions for the
    // ones this process blocks or ignores (a lost reader must end it).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int result = posix_spawnp(&fPid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        fPid = -1;
        error = "cannot start " + arguments[0] + ": " + strerror(result);
    }
    return result == 0;
}

bool FfmpegChild::exited(std::string& how) {
    if (fPid < 0) return true;
    pid_t done = waitpid(fPid, &fStatus, WNOHANG);
    if (done == 0) return false;
    if (done < 0) how = std::string("lost: ") + strerror(errno);
    else if (WIFEXITED(fStatus)) how = "exited with status " + std::to_string(WEXITSTATUS(fStatus));
    else if (WIFSIGNALED(fStatus)) how = "ended by signal " + std::to_string(WTERMSIG(fStatus));
    fPid = -1;
    return true;
}

// The child only makes test media: nothing of it is worth a graceful end,
// and a killed child writes no errors about its closed pipes.
void FfmpegChild::terminate() {
    if (fPid > 0) {
        kill(fPid, SIGKILL);
        while (waitpid(fPid, &fStatus, 0) < 0 && errno == EINTR) {
        }
        fPid = -1;
    }
    closePipes();
}

void FfmpegChild::closePipes() {
    for (int fd : fReadEnds) close(fd);
    fReadEnds.clear();
}
