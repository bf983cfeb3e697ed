#pragma once

#include "audio/IOLayout.h"
#include "audio/InputBuffer.h"

#include <cstdint>
#include <span>

namespace harkwell {

class AudioRingBuffer;
struct MeterState;

// The recorder's real-time step, run for every input callback: picks the microphone and system
// channels out of the buffer list, builds interleaved stereo frames, writes them into the ring
// and adds to the meters. It never allocates, locks, logs or makes a system call.
class IORender {
public:
    static constexpr int64_t kPieceFrames = 4096;
    // The scratch buffer the caller owns: one piece of stereo frames.
    static constexpr int64_t kScratchSamples = 2 * kPieceFrames;

    static void render(std::span<const InputBuffer> input, const IOLayout& layout, AudioRingBuffer& ring,
                       MeterState* meter, float* scratch);
};

}  // namespace harkwell
