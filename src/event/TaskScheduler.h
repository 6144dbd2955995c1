// The event loop's interface: delayed tasks, socket handlers, event triggers.
#pragma once

#include <cstdint>

typedef void TaskFunc(void* clientData);
typedef void* TaskToken;
typedef unsigned EventTriggerId;
typedef void BackgroundHandlerProc(void* clientData, int mask);

#define SOCKET_READABLE (1 << 1)
#define SOCKET_WRITABLE (1 << 2)
#define SOCKET_EXCEPTION (1 << 3)

class TaskScheduler {
public:
    virtual ~TaskScheduler() = default;

    // Runs proc(clientData) once, at least `microseconds` from now.
    virtual TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc* proc,
                                          void* clientData) = 0;
    // Cancels a pending task (a null or stale token is fine) and clears the token.
    virtual void unscheduleDelayedTask(TaskToken& prevTask) = 0;
    void rescheduleDelayedTask(TaskToken& task, int64_t microseconds, TaskFunc* proc,
                               void* clientData) {
        unscheduleDelayedTask(task);
        task = scheduleDelayedTask(microseconds, proc, clientData);
    }

    // conditionSet 0 (or a null proc) removes the socket's handler.
    virtual void setBackgroundHandling(int socketNum, int conditionSet,
                                       BackgroundHandlerProc* handlerProc, void* clientData) = 0;
    void disableBackgroundHandling(int socketNum) {
        setBackgroundHandling(socketNum, 0, nullptr, nullptr);
    }
    virtual void moveSocketHandling(int oldSocketNum, int newSocketNum) = 0;

    // Runs steps until *watchVariable becomes non-zero (forever when null), or a
    // step fails.
    virtual void doEventLoop(char volatile* watchVariable = nullptr) = 0;

    // Event triggers: at most 32; triggerEvent may be called from any thread.
    virtual EventTriggerId createEventTrigger(TaskFunc* eventHandlerProc) = 0;
    virtual void deleteEventTrigger(EventTriggerId eventTriggerId) = 0;
    virtual void triggerEvent(EventTriggerId eventTriggerId, void* clientData = nullptr) = 0;

protected:
    TaskScheduler() = default;
};
