#include "event/BasicUsageEnvironment.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "log/Log.h"

BasicUsageEnvironment* BasicUsageEnvironment::createNew(TaskScheduler& scheduler) {
    return new (std::nothrow) BasicUsageEnvironment(scheduler);
}

BasicUsageEnvironment::BasicUsageEnvironment(TaskScheduler& scheduler)
    : UsageEnvironment(scheduler) {
    fResultMsg[0] = '\0';
}

void BasicUsageEnvironment::setResultMsg(MsgString msg) {
    fResultLength = 0;
    fResultMsg[0] = '\0';
    appendToResultMsg(msg);
}

void BasicUsageEnvironment::setResultMsg(MsgString msg1, MsgString msg2) {
    setResultMsg(msg1);
    appendToResultMsg(msg2);
}

void BasicUsageEnvironment::setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) {
    setResultMsg(msg1, msg2);
    appendToResultMsg(msg3);
}

void BasicUsageEnvironment::setResultErrMsg(MsgString msg, int err) {
    setResultMsg(msg);
    appendToResultMsg(strerror(err == 0 ? getErrno() : err));
}

void BasicUsageEnvironment::appendToResultMsg(MsgString msg) {
    if (msg == nullptr) return;
    size_t room = kResultMsgSize - 1 - fResultLength;
    size_t length = strlen(msg);
    if (length > room) length = room;
    memcpy(fResultMsg + fResultLength, msg, length);
    fResultLength += static_cast<unsigned>(length);
    fResultMsg[fResultLength] = '\0';
}

void BasicUsageEnvironment::reportBackgroundError() {
    fprintf(stderr, "%s\n", getResultMsg());
}

int BasicUsageEnvironment::getErrno() const { return errno; }

UsageEnvironment& BasicUsageEnvironment::operator<<(char const* str) {
    Log_Write(LOG_ERROR, "%s", str == nullptr ? "(NULL)" : str);
    return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(int i) {
    Log_Write(LOG_ERROR, "%d", i);
    return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(unsigned u) {
    Log_Write(LOG_ERROR, "%u", u);
    return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(double d) {
    Log_Write(LOG_ERROR, "%f", d);
    return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(void* p) {
    Log_Write(LOG_ERROR, "%p", p);
    return *this;
}
