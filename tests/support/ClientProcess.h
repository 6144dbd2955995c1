// A client program (ffmpeg, gst-launch-1.0) run as a child of the test while
// the test pushes frames; bounded in time and ended by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ClientProcess {
public:
    // Starts argv[0] (searched in PATH) with standard input from /dev/null;
    // with mergeErrors its standard error goes to output() too, in order.
    explicit ClientProcess(const std::vector<std::string>& argv, bool mergeErrors = false);
    // Ends the child by its PID if it still runs.
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool started() const { return fPid > 0; }
    // Waits up to timeoutMs for the child to exit; true once it has.
    bool waitForExit(int timeoutMs);
    // SIGINT, then SIGKILL if it has not exited within graceMs.
    void stop(int graceMs);

    bool exited() const { return fExited; }
    bool killed() const { return fKilled; }
    int exitCode() const { return fExitCode; }  // -1 unless it exited normally
    std::string output() const;
    std::string errors() const;

    static bool available(const std::string& program);

private:
    void reap(int status);

    pid_t fPid = -1;
    bool fExited = false;
    bool fKilled = false;
    int fExitCode = -1;
    std::string fOutPath;
    std::string fErrPath;
};
