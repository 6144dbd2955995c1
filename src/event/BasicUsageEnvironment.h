// The environment of the server thread: result messages in a fixed buffer,
// diagnostics written through the log at the error level.
#pragma once

#include "event/UsageEnvironment.h"

class BasicUsageEnvironment : public UsageEnvironment {
public:
    static BasicUsageEnvironment* createNew(TaskScheduler& scheduler);

    MsgString getResultMsg() const override { return fResultMsg; }
    void setResultMsg(MsgString msg) override;
    void setResultMsg(MsgString msg1, MsgString msg2) override;
    void setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) override;
    void setResultErrMsg(MsgString msg, int err = 0) override;
    void appendToResultMsg(MsgString msg) override;
    void reportBackgroundError() override;
    int getErrno() const override;

    UsageEnvironment& operator<<(char const* str) override;
    UsageEnvironment& operator<<(int i) override;
    UsageEnvironment& operator<<(unsigned u) override;
    UsageEnvironment& operator<<(double d) override;
    UsageEnvironment& operator<<(void* p) override;

protected:
    explicit BasicUsageEnvironment(TaskScheduler& scheduler);

private:
    static constexpr unsigned kResultMsgSize = 1000;
    char fResultMsg[kResultMsgSize];
    unsigned fResultLength = 0;
};
