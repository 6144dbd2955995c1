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

QueuePollSet::~QueuePollSet() {
    for (Entry& entry : fParked) entry.waiter->fParkIndex = kNotParked;
    fEnv.taskScheduler().unscheduleDelayedTask(fSweepTask);
}

void QueuePollSet::park(Waiter* waiter, const FRAME_QUEUE_T* queue) {
    const std::atomic<uint32_t>* heldBytes = queue != nullptr ? &queue->held_bytes : nullptr;
    if (isParked(waiter)) {
        fParked[waiter->fParkIndex].heldBytes = heldBytes;
        return;
    }
    waiter->fParkIndex = fParked.size();
    fParked.push_back(Entry{waiter, heldBytes});
    if (fSweepTask == nullptr)
        fSweepTask = fEnv.taskScheduler().scheduleDelayedTask(kSweepIntervalUs, sweepTask, this);
}

void QueuePollSet::unpark(Waiter* waiter) {
    if (isParked(waiter)) removeAt(waiter->fParkIndex);
}

void QueuePollSet::removeAt(size_t index) {
    fParked[index].waiter->fParkIndex = kNotParked;
    if (index + 1 != fParked.size()) {
        fParked[index] = fParked.back();
        fParked[index].waiter->fParkIndex = index;
    }
    fParked.pop_back();
}

bool QueuePollSet::holdsFrame(const Entry& entry) {
    // The same test as FrameQueue_IsEmpty, without a call per waiter.
    return entry.heldBytes != nullptr &&
           entry.heldBytes->load(std::memory_order_acquire) > sizeof(SS_BUF_T);
}

void QueuePollSet::sweepTask(void* clientData) {
    auto* set = static_cast<QueuePollSet*>(clientData);
    set->fSweepTask = nullptr;
    set->sweep();
}

void QueuePollSet::sweep() {
    // A ready waiter leaves the set before its turn, and its turn may close
    // other sources (which unpark themselves) or park it again at the end; the
    // visit count bounds the pass whatever the turns do to the array.
    size_t visits = fParked.size();
    size_t index = 0;
    // The set outlives every turn: the sweep holds it like a source does.
    fHolders += 1;
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
    if (!fParked.empty() && fSweepTask == nullptr)
        fSweepTask = fEnv.taskScheduler().scheduleDelayedTask(kSweepIntervalUs, sweepTask, this);
    release();
}
