#pragma once

#include <cstddef>

// What this process holds right now: heap bytes in use and open file descriptors. Tests compare them before and
// after a run to show that the relay gave back what it took.
struct ProcessResources {
    size_t heapBytes = 0;
    int openDescriptors = 0;
};

// Bytes handed out by malloc and not yet freed: glibc's mallinfo2().uordblks, or the sanitizer allocator's count when
// built with AddressSanitizer (which replaces malloc, so glibc's figures would not see the test's allocations).
size_t heapInUse();
// False when the heap cannot be measured: under valgrind, which replaces malloc, glibc's figures are all zero.
bool heapMeasurable();
// Freed memory that the allocator may go on counting as in use: glibc's per-thread cache keeps up to 7 freed chunks
// of each of its 64 small sizes (24 to 1032 bytes) without giving them back to the arena, 236 KiB at most. The
// sanitizer allocator counts exactly (0). GLIBC_TUNABLES=glibc.malloc.tcache_count=0 makes glibc's count exact too.
size_t heapCachedFreeBytesAtMost();
// Entries of /proc/self/fd, without the one used to list them; -1 when the directory cannot be read.
int openDescriptorCount();
ProcessResources measureProcessResources();
// "heap in use" or "heap in use (sanitizer allocator)", for printed figures.
const char* heapMeasureName();
