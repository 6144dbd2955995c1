#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

bool spawn(const std::vector<std::string>& arguments, int outputFd, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int result = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (fPid > 0) {
        kill(fPid, SIGKILL);
        waitpid(fPid, nullptr, 0);
    }
}

bool ChildProcess::start(const std::vector<std::string>& arguments, const std::string& outputPath) {
    int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output < 0) return false;
    bool started = spawn(arguments, output, fPid);
    close(output);
    if (!started) fPid = -1;
    return started;
}

bool ChildProcess::running() {
    if (fPid <= 0) return false;
    int status;
    if (waitpid(fPid, &status, WNOHANG) == 0) return true;
    fPid = -1;
    return false;
}

void ChildProcess::signal(int number) {
    if (fPid > 0) kill(fPid, number);
}

bool ChildProcess::waitExit(std::chrono::milliseconds limit, int& status) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (fPid > 0) {
        pid_t done = waitpid(fPid, &status, WNOHANG);
        if (done == fPid) {
            fPid = -1;
            return true;
        }
        if (done < 0 || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int runToEnd(const std::vector<std::string>& arguments, std::chrono::milliseconds limit, std::string* captured) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    pid_t pid = -1;
    bool started = spawn(arguments, ends[1], pid);
    close(ends[1]);
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (started) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd input{ends[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&input, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t got = read(ends[0], buffer, sizeof buffer);
        if (got <= 0) break;
        output.append(buffer, static_cast<size_t>(got));
    }
    close(ends[0]);
    if (captured) *captured = output;
    if (!started) return -1;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool programAvailable(const std::string& name) {
    return runToEnd({name, "-version"}, std::chrono::seconds(20)) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
