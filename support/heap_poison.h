// Test builds overwrite blocks before they are released, so that a late
// read of a released entry sees garbage instead of the old, plausible data.
#ifndef QUORVEL_SUPPORT_HEAP_POISON_H
#define QUORVEL_SUPPORT_HEAP_POISON_H

#include <cstddef>

constexpr unsigned char RELEASED_BLOCK_POISON = 0xDD;

inline void PoisonBeforeRelease(void* block, size_t bytes)
{
#ifdef QUORVEL_POISON_RELEASED
    if (block == nullptr)
        return;
    volatile unsigned char* p = static_cast<unsigned char*>(block);
    for (size_t i = 0; i < bytes; ++i)
        p[i] = RELEASED_BLOCK_POISON;
#else
    (void)block;
    (void)bytes;
#endif
}

#endif
