// Pending delayed tasks in a binary heap. Slots are recycled, so scheduling and
// cancelling allocate nothing once the queue has reached its working size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "event/TaskScheduler.h"

class DelayedTaskQueue {
public:
    // `due` is an absolute time in microseconds of the monotonic clock.
    TaskToken schedule(int64_t due, TaskFunc* proc, void* clientData);
    // Cancels the task if it is still pending; stale tokens are ignored.
    void cancel(TaskToken token);
    // Due time of the earliest pending task, or -1 when none is pending.
    int64_t nextDue();
    // Removes the earliest task if it is due at `now`; false when none is due.
    bool popDue(int64_t now, TaskFunc*& proc, void*& clientData);
    size_t pending() const { return fLiveCount; }
    // Heap entries, cancelled ones included (they are dropped lazily).
    size_t heapEntries() const { return fHeap.size(); }

private:
    struct Slot {
        TaskFunc* proc = nullptr;
        void* clientData = nullptr;
        uint32_t generation = 1;
        bool live = false;
    };
    struct HeapEntry {
        int64_t due;
        uint64_t sequence;  // keeps tasks due at the same time in schedule order
        uint32_t slot;
        uint32_t generation;
    };
    static bool later(const HeapEntry& a, const HeapEntry& b) {
        return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
    void dropStaleTop();
    void compact();
    void releaseSlot(uint32_t index);

    std::vector<Slot> fSlots;
    std::vector<uint32_t> fFreeSlots;
    std::vector<HeapEntry> fHeap;
    uint64_t fSequence = 0;
    size_t fLiveCount = 0;
};
