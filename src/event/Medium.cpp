#include "event/Medium.h"

#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>

struct MediaLookupTable::Impl {
    std::unordered_map<std::string, Medium*> media;
};

MediaLookupTable* MediaLookupTable::ourMedia(UsageEnvironment& env) {
    auto* table = static_cast<MediaLookupTable*>(env.liveMediaPriv);
    if (table == nullptr) {
        table = new MediaLookupTable(env);
        table->fImpl = new Impl;
        env.liveMediaPriv = table;
    }
    return table;
}

Medium* MediaLookupTable::lookup(char const* name) const {
    auto it = fImpl->media.find(name);
    return it == fImpl->media.end() ? nullptr : it->second;
}

void MediaLookupTable::addNew(Medium* medium, char* mediumName) {
    snprintf(mediumName, sizeof medium->fMediumName, "liveMedia%u", fNameGenerator++);
    fImpl->media.emplace(mediumName, medium);
}

void MediaLookupTable::remove(char const* name) {
    fImpl->media.erase(name);
    if (fImpl->media.empty()) {
        // The last medium is gone: let the environment be reclaimed.
        fEnv.liveMediaPriv = nullptr;
        delete fImpl;
        delete this;
    }
}

Medium::Medium(UsageEnvironment& env) : fEnviron(env) {
    MediaLookupTable::ourMedia(env)->addNew(this, fMediumName);
}

Medium::~Medium() {
    // A pending task must never fire on a destroyed object.
    fEnviron.taskScheduler().unscheduleDelayedTask(fNextTask);
}

bool Medium::lookupByName(UsageEnvironment& env, char const* mediumName, Medium*& resultMedium) {
    resultMedium = nullptr;
    if (mediumName == nullptr || env.liveMediaPriv == nullptr) return false;
    resultMedium = MediaLookupTable::ourMedia(env)->lookup(mediumName);
    return resultMedium != nullptr;
}

void Medium::close(UsageEnvironment& env, char const* mediumName) {
    Medium* medium;
    if (lookupByName(env, mediumName, medium)) close(medium);
}

void Medium::close(Medium* medium) {
    if (medium == nullptr) return;
    UsageEnvironment& env = medium->envir();
    // Deleting first lets the destructor still find itself in the table; the
    // name is copied because the medium's storage goes with it.
    char name[sizeof medium->fMediumName];
    snprintf(name, sizeof name, "%s", medium->name());
    delete medium;
    if (env.liveMediaPriv != nullptr) MediaLookupTable::ourMedia(env)->remove(name);
}
