#include "platform/memory/LargePages.h"

#include <sys/mman.h>

#include <cstdint>

namespace harkwell {

namespace {

// The x86-64 and arm64 (4 kB base) size; the system ignores the request for any page it cannot back.
constexpr std::uintptr_t kLargePage = 2 * 1024 * 1024;
// Below this the block holds at most one whole large page, and its small pages are too few to matter.
constexpr std::size_t kWorthAsking = 2 * kLargePage;

}  // namespace

void LargePages::prefer(void* begin, std::size_t bytes)
{
    if (bytes < kWorthAsking)
        return;
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + kLargePage - 1) & ~(kLargePage - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kLargePage - 1);
    if (to <= from)
        return;
    // Advice only: where it is refused (no large pages, or not for this mapping) the block stays as it was.
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace harkwell
