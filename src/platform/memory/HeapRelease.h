#pragma once
// Hands the heap's free pages back to the system. A listing of a large vault frees far more than it
// keeps, and the allocator would otherwise hold on to those pages (in every thread's arena) for
// the life of the process.

namespace harkwell {

class HeapRelease {
public:
    // Once, at the start of the process, before any thread: fixed limits on what the allocator
    // keeps. By default every large block freed raises them (up to 64 MB an arena), and the free
    // top of a thread's arena is never handed back, not even by releaseFreePages(): after a
    // listing of a hundred thousand files its worker's arena would stay resident, tens of
    // megabytes of nothing.
    static void keepFewFreePages();
    // Costs a few milliseconds at most; call it from a worker thread.
    static void releaseFreePages();
    // The free top of the calling thread's own arena, which releaseFreePages() cannot reach: the
    // allocator hands it back only when a large block of that arena is freed, and a thread whose
    // blocks were all freed by others, small ones last, would otherwise keep it resident for good.
    static void releaseOwnArenaTop();
};

}  // namespace harkwell
