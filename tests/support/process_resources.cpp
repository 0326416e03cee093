#include "support/process_resources.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define VANTREL_HEAP_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTREL_HEAP_FROM_SANITIZER 1
#endif
#endif

#if defined(VANTREL_HEAP_FROM_SANITIZER)
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// GCC's runtime exports the function without shipping the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#else
#include <malloc.h>
#endif

size_t heapInUse()
{
#if defined(VANTREL_HEAP_FROM_SANITIZER)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

bool heapMeasurable()
{
#if defined(VANTREL_HEAP_FROM_SANITIZER)
    return true;
#else
    // Any running C++ program has allocated something by now, so an empty arena means glibc is not the allocator.
    return mallinfo2().arena > 0;
#endif
}

size_t heapCachedFreeBytesAtMost()
{
#if defined(VANTREL_HEAP_FROM_SANITIZER)
    return 0;
#else
    constexpr size_t chunksPerSize = 7;
    size_t bytes = 0;
    for (size_t size = 24; size <= 1032; size += 16)
        bytes += chunksPerSize * size;
    return bytes;
#endif
}

const char* heapMeasureName()
{
#if defined(VANTREL_HEAP_FROM_SANITIZER)
    return "heap in use (sanitizer allocator)";
#else
    return "heap in use (mallinfo2 uordblks)";
#endif
}

int openDescriptorCount()
{
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr)
        return -1;
    const int own = dirfd(directory);
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && fd != own)
            ++count;
    }
    closedir(directory);
    return count;
}

ProcessResources measureProcessResources()
{
    ProcessResources now;
    now.heapBytes = heapInUse();
    now.openDescriptors = openDescriptorCount();
    return now;
}
