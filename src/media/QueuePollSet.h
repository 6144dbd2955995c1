// The stream sources of one environment that wait on an empty queue. Rather
// than each of them keeping a 1 ms timer of its own, one task sweeps them all
// every millisecond and hands a source its turn once its queue holds a frame:
// a thousand idle channels then cost one timer and one pass over a compact
// array per millisecond, and the check needs no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "event/TaskScheduler.h"
#include "queue/FrameQueue.h"

class UsageEnvironment;

class QueuePollSet {
public:
    // Implemented by the sources that park here.
    class Waiter {
    public:
        // The queue has a frame: read it (and park again when none came out).
        virtual void queueReady() = 0;

    protected:
        ~Waiter() = default;

    private:
        friend class QueuePollSet;
        size_t fParkIndex = kNotParked;
    };

    static constexpr int64_t kSweepIntervalUs = 1000;
    static constexpr size_t kNotParked = static_cast<size_t>(-1);

    // The environment's set, made on first use; each holder releases it once.
    static QueuePollSet* acquire(UsageEnvironment& env);
    void release();

    // The waiter is swept until it is unparked or its queue holds a frame;
    // a null queue is never ready. Parking a parked waiter only moves its queue.
    void park(Waiter* waiter, const FRAME_QUEUE_T* queue);
    void unpark(Waiter* waiter);
    static bool isParked(const Waiter* waiter) { return waiter->fParkIndex != kNotParked; }

    size_t parkedCount() const { return fParked.size(); }

private:
    struct Entry {
        Waiter* waiter;
        const std::atomic<uint32_t>* heldBytes;  // the queue's lock-free size
    };

    explicit QueuePollSet(UsageEnvironment& env) : fEnv(env) {}
    ~QueuePollSet();

    static void sweepTask(void* clientData);
    void sweep();
    void removeAt(size_t index);
    static bool holdsFrame(const Entry& entry);

    UsageEnvironment& fEnv;
    unsigned fHolders = 0;
    std::vector<Entry> fParked;
    TaskToken fSweepTask = nullptr;
};
