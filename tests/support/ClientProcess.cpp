#include "ClientProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string tempFile(const char* pattern) {
    std::string path = pattern;
    int fd = mkstemp(&path[0]);
    if (fd < 0) return "";
    close(fd);
    return path;
}

}  // namespace

ClientProcess::ClientProcess(const std::vector<std::string>& argv, bool mergeErrors) {
    fOutPath = tempFile("/tmp/nerivo-client-out-XXXXXX");
    fErrPath = tempFile("/tmp/nerivo-client-err-XXXXXX");
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    fPid = fork();
    if (fPid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(fOutPath.c_str(), O_WRONLY | O_TRUNC);
        int err = open(fErrPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(mergeErrors ? out : err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
}

ClientProcess::~ClientProcess() {
    if (started() && !fExited) {
        kill(fPid, SIGKILL);
        int status = 0;
        waitpid(fPid, &status, 0);
    }
    if (!fOutPath.empty()) unlink(fOutPath.c_str());
    if (!fErrPath.empty()) unlink(fErrPath.c_str());
}

void ClientProcess::reap(int status) {
    fExited = true;
    if (WIFEXITED(status)) fExitCode = WEXITSTATUS(status);
}

bool ClientProcess::waitForExit(int timeoutMs) {
    if (!started() || fExited) return fExited;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (waitpid(fPid, &status, WNOHANG) == fPid) {
            reap(status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ClientProcess::stop(int graceMs) {
    if (!started() || fExited) return;
    kill(fPid, SIGINT);
    if (waitForExit(graceMs)) return;
    kill(fPid, SIGKILL);
    fKilled = true;
    int status = 0;
    waitpid(fPid, &status, 0);
    reap(status);
}

std::string ClientProcess::output() const { return slurp(fOutPath); }

std::string ClientProcess::errors() const { return slurp(fErrPath); }

bool ClientProcess::available(const std::string& program) {
    return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}
