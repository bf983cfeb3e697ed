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

    // Unless paused, counts frames the audio server never delivered and writes as much silence
    // in their place so both channels keep to the wall clock. At most kLostFramesLimit are
    // filled in: a longer gap is a clock that started again, not cycles skipped.
    static void renderLost(int64_t frames, AudioRingBuffer& ring, MeterState* meter, float* scratch);
    // Counts frames of one side that arrive as silence in the buffer itself.
    static void countPadded(int64_t frames, MeterState* meter);

    static constexpr int64_t kLostFramesLimit = 10 * 48000;
};

}  // namespace harkwell
