// Wakes a thread that waits for input on a descriptor, so that it can end.
#pragma once

class StopEvent {
public:
    StopEvent();
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    bool valid() const { return fFd >= 0; }
    void signal();
    bool signalled() const;
    // Waits until `fd` has input (or its end, or an error) or the event is
    // signalled; true for the first.
    bool waitForInput(int fd) const;

private:
    int fFd;
};
