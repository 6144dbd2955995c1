// What every object of the streaming stack reaches its scheduler, result
// message and diagnostics through.
#pragma once

#include "event/TaskScheduler.h"

class UsageEnvironment {
public:
    typedef char const* MsgString;

    // Deletes the environment when no stack state hangs on it any more.
    bool reclaim();
    TaskScheduler& taskScheduler() const { return fScheduler; }

    virtual MsgString getResultMsg() const = 0;
    virtual void setResultMsg(MsgString msg) = 0;
    virtual void setResultMsg(MsgString msg1, MsgString msg2) = 0;
    virtual void setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) = 0;
    // msg followed by the text of err (errno when 0).
    virtual void setResultErrMsg(MsgString msg, int err = 0) = 0;
    virtual void appendToResultMsg(MsgString msg) = 0;
    virtual void reportBackgroundError() = 0;
    virtual int getErrno() const = 0;

    // Diagnostics: each operand becomes one log record.
    virtual UsageEnvironment& operator<<(char const* str) = 0;
    virtual UsageEnvironment& operator<<(int i) = 0;
    virtual UsageEnvironment& operator<<(unsigned u) = 0;
    virtual UsageEnvironment& operator<<(double d) = 0;
    virtual UsageEnvironment& operator<<(void* p) = 0;

    // State of the stack's layers kept per environment (media table, sockets).
    void* liveMediaPriv = nullptr;
    void* groupsockPriv = nullptr;
    void* liveSourcePriv = nullptr;  // the live sources' shared poll set

protected:
    explicit UsageEnvironment(TaskScheduler& scheduler) : fScheduler(scheduler) {}
    virtual ~UsageEnvironment() = default;

private:
    TaskScheduler& fScheduler;
};
