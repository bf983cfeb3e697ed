#include "audio/AudioRingBuffer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace harkwell {

AudioRingBuffer::AudioRingBuffer(int64_t capacityFrames, int64_t channels)
    : m_capacityFrames(static_cast<int64_t>(std::bit_ceil(static_cast<uint64_t>(std::max<int64_t>(capacityFrames, 1)))))
    , m_channels(std::max<int64_t>(channels, 1))
    , m_mask(m_capacityFrames - 1)
    , m_storage(std::make_unique<float[]>(static_cast<size_t>(m_capacityFrames * m_channels)))
{
}

AudioRingBuffer::~AudioRingBuffer() = default;

int64_t AudioRingBuffer::write(const float* interleaved, int64_t frames)
{
    // Only this side stores the write counter, so a relaxed load of it is current; the acquire on
    // the read counter keeps the copy below from overwriting frames the reader has not finished.
    const int64_t w = m_write.value.load(std::memory_order_relaxed);
    const int64_t r = m_read.value.load(std::memory_order_acquire);
    const int64_t free = m_capacityFrames - (w - r);
    if (free < 1 || frames < 1)
        return 0;
    const int64_t n = std::min(frames, free);
    copyIn(w & m_mask, interleaved, n);
    // Release: the samples are visible before the reader can see the new counter.
    m_write.value.store(w + n, std::memory_order_release);
    return n;
}

int64_t AudioRingBuffer::read(float* into, int64_t maxFrames)
{
    const int64_t r = m_read.value.load(std::memory_order_relaxed);
    const int64_t w = m_write.value.load(std::memory_order_acquire);
    const int64_t waiting = w - r;
    if (waiting < 1 || maxFrames < 1)
        return 0;
    const int64_t n = std::min(maxFrames, waiting);
    copyOut(r & m_mask, into, n);
    // Release: the copy is finished before the writer may reuse these slots.
    m_read.value.store(r + n, std::memory_order_release);
    return n;
}

void AudioRingBuffer::copyIn(int64_t slot, const float* from, int64_t frames)
{
    const int64_t first = std::min(frames, m_capacityFrames - slot);
    const size_t frameBytes = static_cast<size_t>(m_channels) * sizeof(float);
    std::memcpy(m_storage.get() + slot * m_channels, from, static_cast<size_t>(first) * frameBytes);
    if (frames > first)
        std::memcpy(m_storage.get(), from + first * m_channels, static_cast<size_t>(frames - first) * frameBytes);
}

void AudioRingBuffer::copyOut(int64_t slot, float* to, int64_t frames) const
{
    const int64_t first = std::min(frames, m_capacityFrames - slot);
    const size_t frameBytes = static_cast<size_t>(m_channels) * sizeof(float);
    std::memcpy(to, m_storage.get() + slot * m_channels, static_cast<size_t>(first) * frameBytes);
    if (frames > first)
        std::memcpy(to + first * m_channels, m_storage.get(), static_cast<size_t>(frames - first) * frameBytes);
}

}  // namespace harkwell
