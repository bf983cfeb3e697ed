#pragma once
// Hands the heap's free pages back to the system. A listing of a large vault frees far more than it
// keeps, and the allocator would otherwise hold on to those pages (in every thread's arena) for
// the life of the process. Costs a few milliseconds at most; call it from a worker thread.

namespace harkwell {

class HeapRelease {
public:
    static void releaseFreePages();
};

}  // namespace harkwell
