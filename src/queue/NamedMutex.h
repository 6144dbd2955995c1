// Process-wide registry of named mutexes. Opening a name that is already open
// hands out the same mutex and counts one more reference; the entry goes when
// its last reference is closed.
#pragma once

struct NAMED_MUTEX_T;

// Opens the mutex of that name, creating it when it does not exist yet.
// Returns null when name is null or memory runs out.
NAMED_MUTEX_T* NamedMutex_Open(const char* name);

// Drops one reference; the last one removes the mutex from the registry.
// The mutex must not be held by anyone at that moment.
void NamedMutex_Close(NAMED_MUTEX_T* mutex);

// Waits without a time limit until the mutex is ours.
void NamedMutex_Wait(NAMED_MUTEX_T* mutex);
void NamedMutex_Release(NAMED_MUTEX_T* mutex);

// References held on the mutex of that name; 0 when the registry has no such entry.
int NamedMutex_ReferenceCount(const char* name);
