#include "event/BasicTaskScheduler.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "log/Log.h"

namespace {

constexpr uint64_t kWakeMarker = ~0ULL;
constexpr int kListedSocketLimit = 10000;

uint32_t epollMaskFor(int conditionSet) {
    uint32_t mask = 0;
    if (conditionSet & SOCKET_READABLE) mask |= EPOLLIN;
    if (conditionSet & SOCKET_WRITABLE) mask |= EPOLLOUT;
    if (conditionSet & SOCKET_EXCEPTION) mask |= EPOLLPRI;
    return mask;
}

}  // namespace

BasicTaskScheduler* BasicTaskScheduler::createNew(unsigned maxSchedulerGranularity) {
    BasicTaskScheduler* scheduler = new (std::nothrow) BasicTaskScheduler(maxSchedulerGranularity);
    if (scheduler != nullptr && !scheduler->init()) {
        delete scheduler;
        return nullptr;
    }
    return scheduler;
}

BasicTaskScheduler::BasicTaskScheduler(unsigned maxSchedulerGranularity)
    : fGranularity(maxSchedulerGranularity == 0 ? 10000 : maxSchedulerGranularity) {}

bool BasicTaskScheduler::init() {
    fEpollFd = epoll_create1(EPOLL_CLOEXEC);
    if (fEpollFd < 0) return false;
    fWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fWakeFd < 0) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeMarker;
    return epoll_ctl(fEpollFd, EPOLL_CTL_ADD, fWakeFd, &event) == 0;
}

BasicTaskScheduler::~BasicTaskScheduler() {
    if (fWakeFd >= 0) ::close(fWakeFd);
    if (fEpollFd >= 0) ::close(fEpollFd);
}

int64_t BasicTaskScheduler::nowMicroseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

TaskToken BasicTaskScheduler::scheduleDelayedTask(int64_t microseconds, TaskFunc* proc,
                                                  void* clientData) {
    if (microseconds < 0) microseconds = 0;
    return fTasks.schedule(nowMicroseconds() + microseconds, proc, clientData);
}

void BasicTaskScheduler::unscheduleDelayedTask(TaskToken& prevTask) {
    fTasks.cancel(prevTask);
    prevTask = nullptr;
}

int BasicTaskScheduler::handledConditions(int socketNum) const {
    if (socketNum < 0 || static_cast<size_t>(socketNum) >= fHandlers.size()) return 0;
    return fHandlers[socketNum].conditionSet;
}

void BasicTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet,
                                               BackgroundHandlerProc* handlerProc,
                                               void* clientData) {
    if (socketNum < 0) return;
    if (static_cast<size_t>(socketNum) >= fHandlers.size()) {
        if (conditionSet == 0 || handlerProc == nullptr) return;
        fHandlers.resize(static_cast<size_t>(socketNum) + 1);
    }
    Handler& handler = fHandlers[socketNum];
    bool wasRegistered = handler.conditionSet != 0;
    if (conditionSet == 0 || handlerProc == nullptr) {
        if (wasRegistered) epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr);
        handler.conditionSet = 0;
        handler.proc = nullptr;
        handler.clientData = nullptr;
        ++handler.generation;
        return;
    }
    if (!wasRegistered) ++handler.generation;
    epoll_event event{};
    event.events = epollMaskFor(conditionSet);
    event.data.u64 = static_cast<uint32_t>(socketNum) | (static_cast<uint64_t>(handler.generation) << 32);
    int op = wasRegistered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(fEpollFd, op, socketNum, &event) != 0 && op == EPOLL_CTL_MOD) {
        // The socket was closed and its number reused behind our back.
        epoll_ctl(fEpollFd, EPOLL_CTL_ADD, socketNum, &event);
    }
    handler.conditionSet = conditionSet;
    handler.proc = handlerProc;
    handler.clientData = clientData;
}

void BasicTaskScheduler::moveSocketHandling(int oldSocketNum, int newSocketNum) {
    if (oldSocketNum < 0 || static_cast<size_t>(oldSocketNum) >= fHandlers.size()) return;
    Handler old = fHandlers[oldSocketNum];
    setBackgroundHandling(oldSocketNum, 0, nullptr, nullptr);
    if (old.conditionSet != 0) setBackgroundHandling(newSocketNum, old.conditionSet, old.proc, old.clientData);
}

EventTriggerId BasicTaskScheduler::createEventTrigger(TaskFunc* eventHandlerProc) {
    for (unsigned i = 0; i < 32; ++i) {
        if (fTriggers[i].proc == nullptr) {
            fTriggers[i].proc = eventHandlerProc;
            return 1u << i;
        }
    }
    return 0;
}

void BasicTaskScheduler::deleteEventTrigger(EventTriggerId eventTriggerId) {
    for (unsigned i = 0; i < 32; ++i) {
        if (eventTriggerId & (1u << i)) {
            fTriggers[i].proc = nullptr;
            fTriggeredMask.fetch_and(~(1u << i));
        }
    }
}

void BasicTaskScheduler::triggerEvent(EventTriggerId eventTriggerId, void* clientData) {
    for (unsigned i = 0; i < 32; ++i) {
        if (eventTriggerId & (1u << i)) fTriggers[i].clientData.store(clientData);
    }
    // When other triggers are already pending, the wake-up they wrote has not
    // been handled yet (the loop reads it before it takes the mask), so this
    // trigger rides along without a system call of its own.
    if (fTriggeredMask.fetch_or(eventTriggerId) != 0) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(fWakeFd, &one, sizeof one);
    (void)ignored;
}

int BasicTaskScheduler::waitTimeoutMs(unsigned maxDelayTime) {
    int64_t waitUs = fGranularity;
    if (maxDelayTime > 0 && maxDelayTime < waitUs) waitUs = maxDelayTime;
    int64_t due = fTasks.nextDue();
    if (due >= 0) {
        int64_t untilDue = due - nowMicroseconds();
        if (untilDue < waitUs) waitUs = untilDue;
    }
    if (fTriggeredMask.load() != 0 || waitUs <= 0) return 0;
    return static_cast<int>((waitUs + 999) / 1000);  // round up: never early
}

void BasicTaskScheduler::logFailedWait(int err) {
    fprintf(stderr, "BasicTaskScheduler::SingleStep(): select() fails: %s\n", strerror(err));
    Log_Write(LOG_ERROR, "socket numbers used in the select() call:");
    size_t limit = fHandlers.size() < static_cast<size_t>(kListedSocketLimit) ? fHandlers.size()
                                                                             : kListedSocketLimit;
    for (size_t fd = 0; fd < limit; ++fd) {
        int set = fHandlers[fd].conditionSet;
        if (set == 0) continue;
        Log_Write(LOG_ERROR, " %d(", static_cast<int>(fd));
        if (set & SOCKET_READABLE) Log_Write(LOG_ERROR, "r");
        if (set & SOCKET_WRITABLE) Log_Write(LOG_ERROR, "w");
        if (set & SOCKET_EXCEPTION) Log_Write(LOG_ERROR, "e");
        Log_Write(LOG_ERROR, ")");
    }
    Log_Write(LOG_ERROR, "\n");
}

void BasicTaskScheduler::dispatchSocketEvent(const epoll_event& event) {
    if (event.data.u64 == kWakeMarker) {
        uint64_t count;
        ssize_t ignored = ::read(fWakeFd, &count, sizeof count);
        (void)ignored;
        return;
    }
    int fd = static_cast<int>(event.data.u64 & 0xFFFFFFFFu);
    uint32_t generation = static_cast<uint32_t>(event.data.u64 >> 32);
    if (static_cast<size_t>(fd) >= fHandlers.size()) return;
    const Handler& handler = fHandlers[fd];
    // An earlier handler of this step may have removed or replaced this one.
    if (handler.proc == nullptr || handler.generation != generation) return;
    int mask = 0;
    if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) mask |= SOCKET_READABLE;
    if (event.events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) mask |= SOCKET_WRITABLE;
    if (event.events & EPOLLPRI) mask |= SOCKET_EXCEPTION;
    mask &= handler.conditionSet;
    if (mask == 0 && (event.events & (EPOLLHUP | EPOLLERR))) mask = handler.conditionSet;
    if (mask != 0) handler.proc(handler.clientData, mask);
}

void BasicTaskScheduler::runTriggeredEvents() {
    uint32_t mask = fTriggeredMask.exchange(0);
    for (unsigned i = 0; mask != 0 && i < 32; ++i) {
        if ((mask & (1u << i)) && fTriggers[i].proc != nullptr) {
            fTriggers[i].proc(fTriggers[i].clientData.load());
        }
        mask &= ~(1u << i);
    }
}

void BasicTaskScheduler::runDueTasks() {
    // Tasks scheduled while this phase runs wait for the next step, so that a
    // task rescheduling itself with no delay cannot starve the sockets.
    size_t budget = fTasks.pending();
    int64_t now = nowMicroseconds();
    TaskFunc* proc;
    void* clientData;
    while (budget-- > 0 && fTasks.popDue(now, proc, clientData)) proc(clientData);
}

int BasicTaskScheduler::SingleStep(unsigned maxDelayTime) {
    if (fNestedFailure) {
        fNestedFailure = false;
        return -1;
    }
    int timeoutMs = waitTimeoutMs(maxDelayTime);
    // On the stack: a handler may run a nested loop whose steps need their own.
    epoll_event events[128];
    int count;
    int err = 0;
    if (fFailNextStep.exchange(false)) {
        count = -1;
        err = EBADF;
    } else {
        count = epoll_wait(fEpollFd, events, static_cast<int>(sizeof events / sizeof events[0]),
                           timeoutMs);
        err = errno;
    }
    if (count < 0) {
        if (err == EINTR) return 0;
        logFailedWait(err);
        return -1;
    }
    for (int i = 0; i < count; ++i) dispatchSocketEvent(events[i]);
    runTriggeredEvents();
    runDueTasks();
    return 0;
}

void BasicTaskScheduler::doEventLoop(char volatile* watchVariable) {
    while (watchVariable == nullptr || *watchVariable == 0) {
        if (SingleStep() != 0) {
            // Leave the nested loop; the outer loop's next step reports the failure.
            fNestedFailure = true;
            return;
        }
    }
}
