#include "log/PageBlock.h"

#include <sys/mman.h>

#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NERIVO_BLOCKS_ON_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NERIVO_BLOCKS_ON_HEAP 1
#endif

#ifndef NERIVO_BLOCKS_ON_HEAP
namespace {

size_t mappedLength(size_t size) { return size > 0 ? size : 1; }

}  // namespace
#endif

uint8_t* PageBlock_Allocate(size_t size) {
#ifdef NERIVO_BLOCKS_ON_HEAP
    return new (std::nothrow) uint8_t[size];
#else
    void* block = mmap(nullptr, mappedLength(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<uint8_t*>(block);
#endif
}

void PageBlock_Free(uint8_t* block, size_t size) {
    if (block == nullptr) return;
#ifdef NERIVO_BLOCKS_ON_HEAP
    (void)size;
    delete[] block;
#else
    munmap(block, mappedLength(size));
#endif
}
