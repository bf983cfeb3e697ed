#pragma once

#include <cstdint>

namespace harkwell {

// One buffer of the capture callback's input list: interleaved 32-bit float samples as the
// device delivered them. A non-owning view, valid for the duration of the callback.
struct InputBuffer {
    int64_t channels = 0;
    int64_t byteSize = 0;
    const float* data = nullptr;
};

}  // namespace harkwell
