// Blocks of a private heap: one way to release them, and an owner that
// releases one on every way out of its scope. Test builds overwrite a block
// before it is released, so that a late read of a released entry sees
// garbage instead of the old, plausible data.
#ifndef QUORVEL_SUPPORT_HEAP_BLOCK_H
#define QUORVEL_SUPPORT_HEAP_BLOCK_H

#include <windows.h>

constexpr unsigned char RELEASED_BLOCK_POISON = 0xDD;

// Releases block (nullptr is ignored) of the given size; false when the heap
// refused it.
inline bool ReleaseHeapBlock(HANDLE heap, void* block, SIZE_T bytes)
{
    if (block == nullptr)
        return true;
#ifdef QUORVEL_POISON_RELEASED
    volatile unsigned char* p = static_cast<unsigned char*>(block);
    for (SIZE_T i = 0; i < bytes; ++i)
        p[i] = RELEASED_BLOCK_POISON;
#else
    (void)bytes;
#endif
    return HeapFree(heap, 0, block) != FALSE;
}

class OwnedHeapBlock {
public:
    OwnedHeapBlock(HANDLE heap, SIZE_T bytes)
        : heap_(heap), bytes_(bytes), block_(static_cast<unsigned char*>(HeapAlloc(heap, 0, bytes)))
    {}
    ~OwnedHeapBlock() { ReleaseHeapBlock(heap_, block_, bytes_); }
    OwnedHeapBlock(const OwnedHeapBlock&) = delete;
    OwnedHeapBlock& operator=(const OwnedHeapBlock&) = delete;
    unsigned char* Get() const { return block_; }

private:
    HANDLE heap_;
    SIZE_T bytes_;
    unsigned char* block_;
};

#endif
