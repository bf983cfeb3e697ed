#include "platform/memory/HeapRelease.h"

#include <malloc.h>

namespace harkwell {

namespace {

// Blocks this large come straight from the system and go straight back to it.
constexpr int kOwnMappingFrom = 256 * 1024;
// Free memory this large at the top of an arena is handed back at once.
constexpr int kKeptOnTop = 1024 * 1024;

}  // namespace

void HeapRelease::keepFewFreePages()
{
    ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
    ::mallopt(M_TRIM_THRESHOLD, kKeptOnTop);
}

void HeapRelease::releaseFreePages() { ::malloc_trim(0); }

}  // namespace harkwell
