#include "StopEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

StopEvent::StopEvent() : fFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopEvent::~StopEvent() {
    if (fFd >= 0) close(fFd);
}

void StopEvent::signal() {
    uint64_t one = 1;
    ssize_t written = write(fFd, &one, sizeof one);
    (void)written;  // a full counter is signalled already
}

bool StopEvent::signalled() const {
    pollfd event{fFd, POLLIN, 0};
    return poll(&event, 1, 0) > 0;
}

bool StopEvent::waitForInput(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {fFd, POLLIN, 0}};
    for (;;) {
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}
