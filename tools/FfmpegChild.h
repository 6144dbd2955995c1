// An ffmpeg child process writing its outputs into pipes that this process
// reads. Output i is the child's descriptor 3 + i ("pipe:3", "pipe:4", ...).
// The child runs in its own process group, so a Ctrl-C at the terminal
// reaches only this process, which then ends the child by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class FfmpegChild {
public:
    FfmpegChild() = default;
    ~FfmpegChild();
    FfmpegChild(const FfmpegChild&) = delete;
    FfmpegChild& operator=(const FfmpegChild&) = delete;

    // Runs `arguments` (arguments[0] is looked up in PATH) with `outputs` pipes.
    bool start(const std::vector<std::string>& arguments, unsigned outputs, std::string& error);
    // Read end of output i.
    int outputFd(unsigned i) const { return i < fReadEnds.size() ? fReadEnds[i] : -1; }
    pid_t pid() const { return fPid; }
    // True once the child has ended (it is reaped then); `how` tells how.
    bool exited(std::string& how);
    // Kills the child (SIGKILL by its PID), reaps it and closes the pipes.
    // Whoever reads the pipes must have stopped.
    void terminate();

private:
    bool spawn(const std::vector<std::string>& arguments, const std::vector<int>& writeEnds, std::string& error);
    void closePipes();

    pid_t fPid = -1;
    int fStatus = 0;
    std::vector<int> fReadEnds;
};

// The command line of the default test pattern: 1280x720 H.264 at 25 fps on
// output 0, and a 440 Hz tone as 8000 Hz mono G.711 mu-law on output 1, in
// 20 ms blocks.
std::vector<std::string> testPatternArguments();
