#include "media/QueuePollSet.h"

#include <new>

#include "event/UsageEnvironment.h"

QueuePollSet* QueuePollSet::acquire(UsageEnvironment& env) {
    auto* set = static_cast<QueuePollSet*>(env.liveSourcePriv);
    if (set == nullptr) {
        set = new (std::nothrow) QueuePollSet(env);
        if (set == nullptr) return nullptr;
        env.liveSourcePriv = set;
    }
    set->fHolders += 1;
    return set;
}

void QueuePollSet::release() {
    if (--fHolders > 0) return;
    fEnv.liveSourcePriv = nullptr;
    delete this;
}

QueuePollSet::QueuePollSet(UsageEnvironment& env)
    : fEnv(env), fTrigger(env.taskScheduler().createEventTrigger(triggered)) {}

QueuePollSet::~QueuePollSet() {
    // Only reached when no source is left, so no queue is armed for this set.
    for (Entry& entry : fParked) entry.waiter->fParkIndex = kNotParked;
    fEnv.taskScheduler().unscheduleDelayedTask(fSweepTask);
    // Also drops a wake-up fired but not handled yet.
    if (fTrigger != 0) fEnv.taskScheduler().deleteEventTrigger(fTrigger);
}

void QueuePollSet::park(Waiter* waiter, FRAME_QUEUE_T* queue) {
    // Armed only while the queue is empty: the writer's wake-up and this check
    // are made under the queue's lock, so no frame slips in between.
    bool armed = fTrigger != 0 && queue != nullptr && FrameQueue_ArmWake(queue, wakeFromWriter, this) == 1;
    waiter->fParkIndex = fParked.size();
    fParked.push_back(Entry{waiter, queue, armed});
    if (!armed) {
        fPolled += 1;
        schedulePollIfNeeded();
    }
}

void QueuePollSet::unpark(Waiter* waiter) {
    if (!isParked(waiter)) return;
    Entry& entry = fParked[waiter->fParkIndex];
    // After this no writer can still be calling into the set for that queue.
    if (entry.armed) FrameQueue_DisarmWake(entry.queue);
    removeAt(waiter->fParkIndex);
}

void QueuePollSet::removeAt(size_t index) {
    if (!fParked[index].armed) fPolled -= 1;
    fParked[index].waiter->fParkIndex = kNotParked;
    if (index + 1 != fParked.size()) {
        fParked[index] = fParked.back();
        fParked[index].waiter->fParkIndex = index;
    }
    fParked.pop_back();
}

bool QueuePollSet::holdsFrame(const Entry& entry) {
    // The same test as FrameQueue_IsEmpty, without its lock.
    return entry.queue != nullptr &&
           entry.queue->held_bytes.load(std::memory_order_acquire) > sizeof(SS_BUF_T);
}

void QueuePollSet::wakeFromWriter(void* context) {
    // On a host thread, under the queue's lock; the set outlives every armed
    // queue, and the trigger is safe to fire from any thread.
    auto* set = static_cast<QueuePollSet*>(context);
    set->fEnv.taskScheduler().triggerEvent(set->fTrigger, set);
}

void QueuePollSet::triggered(void* clientData) { static_cast<QueuePollSet*>(clientData)->sweep(); }

void QueuePollSet::sweepTask(void* clientData) {
    auto* set = static_cast<QueuePollSet*>(clientData);
    set->fSweepTask = nullptr;
    set->sweep();
}

void QueuePollSet::schedulePollIfNeeded() {
    if (fPolled > 0 && fSweepTask == nullptr)
        fSweepTask = fEnv.taskScheduler().scheduleDelayedTask(kSweepIntervalUs, sweepTask, this);
}

void QueuePollSet::sweep() {
    // A ready waiter leaves the set before its turn. A turn may close other
    // sources (which unpark themselves) or park the waiter again at the end;
    // the visit count bounds the pass whatever the turns do to the array.
    // A waiter that held a frame was disarmed by the write that stored it.
    size_t visits = fParked.size();
    size_t index = 0;
    fHolders += 1;  // the set outlives every turn
    while (visits > 0 && index < fParked.size()) {
        visits -= 1;
        if (!holdsFrame(fParked[index])) {
            index += 1;
            continue;
        }
        Waiter* waiter = fParked[index].waiter;
        removeAt(index);
        waiter->queueReady();
    }
    schedulePollIfNeeded();
    release();
}
