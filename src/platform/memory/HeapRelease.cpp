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

void HeapRelease::releaseOwnArenaTop()
{
    // Above the size whose free makes the allocator trim the arena's top (64 kB), below the one
    // that would take it from the system instead of the arena.
    constexpr size_t kTrimmingBlock = 128 * 1024;
    static_assert(kTrimmingBlock < size_t(kOwnMappingFrom));
    // Through a volatile pointer, or the compiler drops the pair as doing nothing.
    void* volatile block = ::malloc(kTrimmingBlock);  // NOLINT(cppcoreguidelines-no-malloc): the allocator is the point
    ::free(block);
}

}  // namespace harkwell
