// Runs a client program (ffmpeg, gst-launch) for a bounded time.
#pragma once

#include <string>
#include <vector>

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};

// Runs argv[0] (searched in PATH) with the arguments; ends it by its PID
// after timeoutSeconds.
ChildResult runChild(std::vector<std::string> const& argv, int timeoutSeconds);
// True when the program can be found in PATH.
bool haveProgram(std::string const& name);
