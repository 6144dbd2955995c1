#include "event/DelayedTaskQueue.h"

#include <algorithm>

namespace {

// A token packs the slot index (plus one, so that no token is null) and the
// slot's generation at scheduling time.
TaskToken makeToken(uint32_t slot, uint32_t generation) {
    uint64_t value = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(slot) + 1);
    return reinterpret_cast<TaskToken>(static_cast<uintptr_t>(value));
}

bool splitToken(TaskToken token, uint32_t& slot, uint32_t& generation) {
    uint64_t value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(token));
    if ((value & 0xFFFFFFFFu) == 0) return false;
    slot = static_cast<uint32_t>(value & 0xFFFFFFFFu) - 1;
    generation = static_cast<uint32_t>(value >> 32);
    return true;
}

}  // namespace

TaskToken DelayedTaskQueue::schedule(int64_t due, TaskFunc* proc, void* clientData) {
    uint32_t index;
    if (!fFreeSlots.empty()) {
        index = fFreeSlots.back();
        fFreeSlots.pop_back();
    } else {
        index = static_cast<uint32_t>(fSlots.size());
        fSlots.emplace_back();
    }
    Slot& slot = fSlots[index];
    slot.proc = proc;
    slot.clientData = clientData;
    slot.live = true;
    ++fLiveCount;
    fHeap.push_back(HeapEntry{due, fSequence++, index, slot.generation});
    std::push_heap(fHeap.begin(), fHeap.end(), later);
    return makeToken(index, slot.generation);
}

void DelayedTaskQueue::releaseSlot(uint32_t index) {
    Slot& slot = fSlots[index];
    slot.live = false;
    slot.proc = nullptr;
    slot.clientData = nullptr;
    ++slot.generation;
    if (slot.generation == 0) slot.generation = 1;
    fFreeSlots.push_back(index);
    --fLiveCount;
}

void DelayedTaskQueue::cancel(TaskToken token) {
    uint32_t index, generation;
    if (!splitToken(token, index, generation)) return;
    if (index >= fSlots.size()) return;
    Slot& slot = fSlots[index];
    if (!slot.live || slot.generation != generation) return;
    // The heap entry stays behind and is dropped when it reaches the top; long
    // timers cancelled over and over would pile up, so compact now and then.
    releaseSlot(index);
    if (fHeap.size() > 2 * fLiveCount + 64) compact();
}

void DelayedTaskQueue::compact() {
    auto stale = [this](const HeapEntry& e) {
        const Slot& slot = fSlots[e.slot];
        return !slot.live || slot.generation != e.generation;
    };
    fHeap.erase(std::remove_if(fHeap.begin(), fHeap.end(), stale), fHeap.end());
    std::make_heap(fHeap.begin(), fHeap.end(), later);
}

void DelayedTaskQueue::dropStaleTop() {
    while (!fHeap.empty()) {
        const HeapEntry& top = fHeap.front();
        const Slot& slot = fSlots[top.slot];
        if (slot.live && slot.generation == top.generation) return;
        std::pop_heap(fHeap.begin(), fHeap.end(), later);
        fHeap.pop_back();
    }
}

int64_t DelayedTaskQueue::nextDue() {
    dropStaleTop();
    return fHeap.empty() ? -1 : fHeap.front().due;
}

bool DelayedTaskQueue::popDue(int64_t now, TaskFunc*& proc, void*& clientData) {
    dropStaleTop();
    if (fHeap.empty() || fHeap.front().due > now) return false;
    HeapEntry top = fHeap.front();
    std::pop_heap(fHeap.begin(), fHeap.end(), later);
    fHeap.pop_back();
    proc = fSlots[top.slot].proc;
    clientData = fSlots[top.slot].clientData;
    releaseSlot(top.slot);
    return true;
}
