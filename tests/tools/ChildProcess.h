// A program run by a test, ended by its PID (never by name).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // SIGKILL if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `arguments` (the first looked up in PATH) with standard output
    // and error into `outputPath`, with default signal actions.
    bool start(const std::vector<std::string>& arguments, const std::string& outputPath);
    pid_t pid() const { return fPid; }
    bool running();
    void signal(int number);
    // Waits at most `limit` for the end; true with the wait status.
    bool waitExit(std::chrono::milliseconds limit, int& status);

private:
    pid_t fPid = -1;
};

// Runs a program to its end (killed after `limit`); its exit status, or -1
// when it could not run, was killed or overran. Its standard output and
// error go to `captured` when given.
int runToEnd(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
             std::string* captured = nullptr);
// Whether the program can be started at all.
bool programAvailable(const std::string& name);
std::string readFile(const std::string& path);
