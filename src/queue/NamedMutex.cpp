#include "queue/NamedMutex.h"

#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

struct NAMED_MUTEX_T {
    explicit NAMED_MUTEX_T(const std::string& mutexName) : name(mutexName) {}
    const std::string name;
    std::mutex mutex;
    int references = 0;  // guarded by the registry's lock
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<NAMED_MUTEX_T>> entries;
};

// Never destroyed: queues may still be closed by static destructors at exit.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

}  // namespace

NAMED_MUTEX_T* NamedMutex_Open(const char* name) {
    if (name == nullptr) return nullptr;
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    try {
        std::string key(name);
        auto found = reg.entries.find(key);
        if (found == reg.entries.end()) {
            std::unique_ptr<NAMED_MUTEX_T> entry(new NAMED_MUTEX_T(key));
            found = reg.entries.emplace(key, std::move(entry)).first;
        }
        found->second->references += 1;
        return found->second.get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void NamedMutex_Close(NAMED_MUTEX_T* mutex) {
    if (mutex == nullptr) return;
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    mutex->references -= 1;
    if (mutex->references > 0) return;
    auto found = reg.entries.find(mutex->name);
    if (found != reg.entries.end()) reg.entries.erase(found);
}

void NamedMutex_Wait(NAMED_MUTEX_T* mutex) { mutex->mutex.lock(); }

void NamedMutex_Release(NAMED_MUTEX_T* mutex) { mutex->mutex.unlock(); }

int NamedMutex_ReferenceCount(const char* name) {
    if (name == nullptr) return 0;
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    try {
        auto found = reg.entries.find(std::string(name));
        return found == reg.entries.end() ? 0 : found->second->references;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
