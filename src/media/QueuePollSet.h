// The stream sources of one environment that wait on an empty queue. A waiting
// source arms its queue's wake-up: the host thread that next writes a frame
// into it fires the set's event trigger, and the server thread then hands
// every waiter whose queue holds a frame its turn. Idle channels thus cost
// nothing between frames, and a frame is taken as soon as it is written.
// Waiters whose queue cannot be armed (no queue, no trigger left, or a frame
// that could not be read yet) are swept every millisecond instead, the plain
// poll of a live source.
#pragma once

#include <cstddef>
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

    // The waiter waits until it is unparked or its queue holds a frame; a null
    // queue never holds one. The waiter must not be parked already.
    void park(Waiter* waiter, FRAME_QUEUE_T* queue);
    void unpark(Waiter* waiter);
    static bool isParked(const Waiter* waiter) { return waiter->fParkIndex != kNotParked; }

    size_t parkedCount() const { return fParked.size(); }
    // Waiters that are swept every millisecond rather than woken.
    size_t polledCount() const { return fPolled; }

private:
    struct Entry {
        Waiter* waiter;
        FRAME_QUEUE_T* queue;
        bool armed;  // the queue's writer wakes the set
    };

    explicit QueuePollSet(UsageEnvironment& env);
    ~QueuePollSet();

    static void sweepTask(void* clientData);
    static void triggered(void* clientData);
    static void wakeFromWriter(void* context);
    void sweep();
    void schedulePollIfNeeded();
    void removeAt(size_t index);
    static bool holdsFrame(const Entry& entry);

    UsageEnvironment& fEnv;
    EventTriggerId fTrigger = 0;  // 0: none could be made, every waiter is polled
    unsigned fHolders = 0;
    size_t fPolled = 0;
    std::vector<Entry> fParked;
    TaskToken fSweepTask = nullptr;
};
