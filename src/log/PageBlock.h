// Large fixed-size blocks (a frame queue's data area, an RTP sink's frame
// area) mapped from the system on their own rather than taken from the heap.
// A block of a few MiB freed to the heap allocator raises its threshold for
// mapping, so later blocks come from the heap, stay resident once freed and
// fragment it as channels are rebuilt; an unmapped block goes straight back.
// The pages of a block become resident only as they are written. Under the
// address checker blocks come from the heap, so that overruns are caught.
#pragma once

#include <cstddef>
#include <cstdint>

// Null when the system has no memory for it; the bytes are not initialised.
uint8_t* PageBlock_Allocate(size_t size);
// size must be the size it was allocated with; null is fine.
void PageBlock_Free(uint8_t* block, size_t size);
