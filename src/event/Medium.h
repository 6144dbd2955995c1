// Base of every named object of the streaming stack. Objects are made by their
// class's createNew and ended with Medium::close, never deleted directly.
#pragma once

#include "event/UsageEnvironment.h"

class Medium {
public:
    static bool lookupByName(UsageEnvironment& env, char const* mediumName, Medium*& resultMedium);
    static void close(UsageEnvironment& env, char const* mediumName);
    static void close(Medium* medium);  // null is fine

    UsageEnvironment& envir() const { return fEnviron; }
    char const* name() const { return fMediumName; }

    virtual bool isSource() const { return false; }
    virtual bool isSink() const { return false; }
    virtual bool isRTCPInstance() const { return false; }
    virtual bool isRTSPServer() const { return false; }
    virtual bool isServerMediaSession() const { return false; }

protected:
    explicit Medium(UsageEnvironment& env);
    virtual ~Medium();

    TaskToken& nextTask() { return fNextTask; }

private:
    friend class MediaLookupTable;
    UsageEnvironment& fEnviron;
    char fMediumName[24];
    TaskToken fNextTask = nullptr;
};

// The per-environment table of media by name.
class MediaLookupTable {
public:
    static MediaLookupTable* ourMedia(UsageEnvironment& env);
    Medium* lookup(char const* name) const;
    void addNew(Medium* medium, char* mediumName);
    void remove(char const* name);

private:
    explicit MediaLookupTable(UsageEnvironment& env) : fEnv(env) {}
    UsageEnvironment& fEnv;
    struct Impl;
    Impl* fImpl = nullptr;
    unsigned fNameGenerator = 0;
};
