#pragma once

#include <cstddef>

namespace harkwell {

// Large blocks that are about to be written whole. Each first touch of a page is a trap into the
// kernel, and on a virtual machine the trap costs more than clearing the page: the entries of a
// hundred thousand files alone are 6,000 such touches.
class LargePages {
public:
    // Asks for the block [begin, begin + bytes), not yet touched, to be backed by the system's
    // large pages where it allows them. Only the whole large pages inside the block are asked for;
    // a block too small to hold one whole, or a system without them, is left as it is.
    static void prefer(void* begin, std::size_t bytes);
};

}  // namespace harkwell
