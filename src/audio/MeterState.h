#pragma once

#include <atomic>
#include <cstdint>

namespace harkwell {

// The meter sums and control flags shared by the IO callback and the main thread. Every field is
// one lock-free word: each side stores only its own fields, and samples that land between the
// level tick's read and the callback's reset are lost to the meters, never to the recording.
struct MeterState {
    // Written by the IO callback, zeroed by it when a reset is requested.
    std::atomic<float> micPeak{0};
    std::atomic<float> systemPeak{0};
    std::atomic<double> micSumSquares{0};
    std::atomic<double> systemSumSquares{0};
    std::atomic<int64_t> frames{0};
    // Written by the IO callback, never reset.
    std::atomic<int64_t> callbacks{0};
    std::atomic<int64_t> droppedFrames{0};  // the ring was full: the writer fell behind
    std::atomic<int64_t> lostFrames{0};     // the audio server skipped cycles; silence stands in
    // Set to 1 by the level tick; the IO callback clears it when it zeroes the sums.
    std::atomic<int32_t> resetRequested{0};
    // Set by the session: 1 on pause, 0 on resume. While 1 nothing goes into the ring.
    std::atomic<int32_t> paused{0};
    // Set to 1 by the IO callback when the buffer list no longer fits the layout; cleared by the
    // engine when it starts the device's IO.
    std::atomic<int32_t> layoutMismatch{0};

    static_assert(std::atomic<float>::is_always_lock_free && std::atomic<double>::is_always_lock_free
                  && std::atomic<int64_t>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free);
};

}  // namespace harkwell
