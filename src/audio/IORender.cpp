#include "audio/IORender.h"

#include "audio/AudioRingBuffer.h"
#include "audio/MeterState.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace harkwell {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// A chosen channel that the buffer list can actually deliver.
struct Source {
    const float* samples = nullptr;  // first sample of the channel
    int64_t stride = 0;              // the buffer's channel count
    int64_t frames = 0;

    bool isSource() const { return samples != nullptr; }
    // A non-finite sample would make the recording unencodable for ever; it becomes silence.
    float at(int64_t frame) const
    {
        const float value = samples[frame * stride];
        return std::isfinite(value) ? value : 0.0f;
    }
};

Source sourceOf(const ChannelPick& pick, std::span<const InputBuffer> input)
{
    if (pick.buffer < 0 || pick.buffer >= int64_t(input.size()))
        return {};
    const InputBuffer& buffer = input[size_t(pick.buffer)];
    if (buffer.channels < 1 || buffer.data == nullptr || pick.channel < 0 || pick.channel >= buffer.channels)
        return {};
    return {buffer.data + pick.channel, buffer.channels,
            buffer.byteSize / (int64_t(sizeof(float)) * buffer.channels)};
}

bool fits(const ChannelPick& pick, std::span<const InputBuffer> input)
{
    if (pick.isNone())
        return true;
    return pick.buffer >= 0 && pick.buffer < int64_t(input.size())
        && input[size_t(pick.buffer)].channels == pick.bufferChannels;
}

}  // namespace

void IORender::renderLost(int64_t frames, AudioRingBuffer& ring, MeterState* meter, float* scratch)
{
    frames = std::min(frames, kLostFramesLimit);
    if (frames <= 0 || meter->paused.load(kRelaxed) != 0)
        return;  // paused, nothing was being recorded to lose
    meter->lostFrames.store(meter->lostFrames.load(kRelaxed) + frames, kRelaxed);
    std::fill_n(scratch, kScratchSamples, 0.0f);
    for (int64_t done = 0; done < frames;) {
        const int64_t piece = std::min(kPieceFrames, frames - done);
        const int64_t stored = ring.write(scratch, piece);
        if (stored < piece)
            meter->droppedFrames.store(meter->droppedFrames.load(kRelaxed) + (piece - stored), kRelaxed);
        done += piece;
    }
}

void IORender::countPadded(int64_t frames, MeterState* meter)
{
    if (frames > 0 && meter->paused.load(kRelaxed) == 0)
        meter->lostFrames.store(meter->lostFrames.load(kRelaxed) + std::min(frames, kLostFramesLimit), kRelaxed);
}

void IORender::render(std::span<const InputBuffer> input, const IOLayout& layout, AudioRingBuffer& ring,
                      MeterState* meter, float* scratch)
{
    if (meter->resetRequested.exchange(0, kRelaxed) != 0) {
        meter->micPeak.store(0, kRelaxed);
        meter->systemPeak.store(0, kRelaxed);
        meter->micSumSquares.store(0, kRelaxed);
        meter->systemSumSquares.store(0, kRelaxed);
        meter->frames.store(0, kRelaxed);
    }
    meter->callbacks.store(meter->callbacks.load(kRelaxed) + 1, kRelaxed);

    if (layout.strict
        && (int64_t(input.size()) != layout.bufferCount || !fits(layout.micA, input) || !fits(layout.micB, input)
            || !fits(layout.tapL, input) || !fits(layout.tapR, input))) {
        meter->layoutMismatch.store(1, kRelaxed);
        return;
    }

    const Source micA = sourceOf(layout.micA, input);
    const Source micB = sourceOf(layout.micB, input);
    const Source tapL = sourceOf(layout.tapL, input);
    const Source tapR = sourceOf(layout.tapR, input);
    int64_t frames = std::numeric_limits<int64_t>::max();
    for (const Source* source : {&micA, &micB, &tapL, &tapR})
        if (source->isSource())
            frames = std::min(frames, source->frames);
    if (frames == std::numeric_limits<int64_t>::max() || frames <= 0)
        return;

    const bool paused = meter->paused.load(kRelaxed) != 0;
    const bool micMean = micA.isSource() && micB.isSource();
    float micPeak = 0, systemPeak = 0, micSum = 0, systemSum = 0;

    for (int64_t start = 0; start < frames; start += kPieceFrames) {
        const int64_t piece = std::min(kPieceFrames, frames - start);
        float* out = scratch;
        for (int64_t f = start; f < start + piece; ++f) {
            float mic = 0;
            if (micA.isSource())
                mic = micMean ? (micA.at(f) + micB.at(f)) * 0.5f : micA.at(f);
            const float left = tapL.isSource() ? tapL.at(f) : 0.0f;
            const float right = tapR.isSource() ? tapR.at(f) : left;
            const float system = (left + right) * 0.5f;
            *out++ = layout.stereoSystem ? left : mic;
            *out++ = layout.stereoSystem ? right : system;
            micPeak = std::max(micPeak, std::abs(mic));
            systemPeak = std::max(systemPeak, std::abs(system));
            micSum += mic * mic;
            systemSum += system * system;
        }
        if (!paused) {
            const int64_t stored = ring.write(scratch, piece);
            if (stored < piece)
                meter->droppedFrames.store(meter->droppedFrames.load(kRelaxed) + (piece - stored), kRelaxed);
        }
    }

    if (micPeak > meter->micPeak.load(kRelaxed))
        meter->micPeak.store(micPeak, kRelaxed);
    if (systemPeak > meter->systemPeak.load(kRelaxed))
        meter->systemPeak.store(systemPeak, kRelaxed);
    meter->micSumSquares.store(meter->micSumSquares.load(kRelaxed) + double(micSum), kRelaxed);
    meter->systemSumSquares.store(meter->systemSumSquares.load(kRelaxed) + double(systemSum), kRelaxed);
    meter->frames.store(meter->frames.load(kRelaxed) + frames, kRelaxed);
}

}  // namespace harkwell
