#include "platform/memory/HeapRelease.h"

#include <malloc.h>

namespace harkwell {

void HeapRelease::releaseFreePages() { ::malloc_trim(0); }

}  // namespace harkwell
