// The server thread's event loop on epoll, with delayed tasks in a heap.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <vector>

#include "event/DelayedTaskQueue.h"
#include "event/TaskScheduler.h"

class BasicTaskScheduler : public TaskScheduler {
public:
    // maxSchedulerGranularity: a step returns at least this often (microseconds).
    static BasicTaskScheduler* createNew(unsigned maxSchedulerGranularity = 10000);
    ~BasicTaskScheduler() override;

    // One step: wait for sockets (at most maxDelayTime µs when non-zero, and at
    // most the granularity), run their handlers, triggered events and due tasks.
    // Returns 0, or -1 when the wait failed (the sockets of the sets are logged).
    int SingleStep(unsigned maxDelayTime = 0);

    TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc* proc, void* clientData) override;
    void unscheduleDelayedTask(TaskToken& prevTask) override;
    void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                               void* clientData) override;
    void moveSocketHandling(int oldSocketNum, int newSocketNum) override;
    void doEventLoop(char volatile* watchVariable = nullptr) override;
    EventTriggerId createEventTrigger(TaskFunc* eventHandlerProc) override;
    void deleteEventTrigger(EventTriggerId eventTriggerId) override;
    void triggerEvent(EventTriggerId eventTriggerId, void* clientData = nullptr) override;

    // Test hook: the next step fails as if the wait had failed.
    void failNextStep() { fFailNextStep.store(true); }
    // Condition set registered for a socket (0 when none).
    int handledConditions(int socketNum) const;
    // Monotonic clock in microseconds, as used for delayed tasks.
    static int64_t nowMicroseconds();

private:
    explicit BasicTaskScheduler(unsigned maxSchedulerGranularity);
    bool init();

    struct Handler {
        int conditionSet = 0;
        BackgroundHandlerProc* proc = nullptr;
        void* clientData = nullptr;
        uint32_t generation = 0;  // tells events of a reused socket number apart
    };
    struct Trigger {
        TaskFunc* proc = nullptr;
        std::atomic<void*> clientData{nullptr};
    };

    int waitTimeoutMs(unsigned maxDelayTime);
    void dispatchSocketEvent(const epoll_event& event);
    void runTriggeredEvents();
    void runDueTasks();
    void logFailedWait(int err);

    unsigned fGranularity;
    int fEpollFd = -1;
    int fWakeFd = -1;  // eventfd that wakes the wait for triggered events
    std::vector<Handler> fHandlers;
    DelayedTaskQueue fTasks;
    Trigger fTriggers[32];
    std::atomic<uint32_t> fTriggeredMask{0};
    std::atomic<bool> fFailNextStep{false};
    bool fNestedFailure = false;  // a nested loop's step failed; the outer step reports it
};
