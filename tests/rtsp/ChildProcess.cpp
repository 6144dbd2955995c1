#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

std::string slurp(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

ChildResult runChild(std::vector<std::string> const& argv, int timeoutSeconds) {
    ChildResult result;
    char outPath[] = "/tmp/rtsp-child-out-XXXXXX";
    char errPath[] = "/tmp/rtsp-child-err-XXXXXX";
    int outFd = mkstemp(outPath);
    int errFd = mkstemp(errPath);
    std::vector<char*> args;
    for (auto const& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    if (pid > 0) {
        result.started = true;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        int status = 0;
        for (;;) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() > deadline) {
                result.timedOut = true;
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    }
    result.output = slurp(outPath);
    result.errors = slurp(errPath);
    unlink(outPath);
    unlink(errPath);
    return result;
}

bool haveProgram(std::string const& name) {
    std::string command = "command -v " + name + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}
