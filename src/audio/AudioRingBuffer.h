#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace harkwell {

// Carries interleaved 32-bit float frames from the IO callback (the one producer) to the writer
// thread (the one consumer) without locks. Nothing is allocated after construction; a write that
// does not fit is cut short and the caller counts what was dropped.
class AudioRingBuffer {
public:
    // Both arguments are at least 1; the capacity is rounded up to a power of two.
    AudioRingBuffer(int64_t capacityFrames, int64_t channels);
    ~AudioRingBuffer();
    AudioRingBuffer(const AudioRingBuffer&) = delete;
    AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

    // Producer side only. Returns the frames stored: the smaller of `frames` and the free space.
    int64_t write(const float* interleaved, int64_t frames);
    // Consumer side only. Returns the frames copied: the smaller of `maxFrames` and those waiting.
    int64_t read(float* into, int64_t maxFrames);

    int64_t capacityFrames() const { return m_capacityFrames; }
    int64_t channels() const { return m_channels; }
    // Frames written and read since construction; both only grow.
    int64_t writeCount() const { return m_write.value.load(std::memory_order_acquire); }
    int64_t readCount() const { return m_read.value.load(std::memory_order_acquire); }

private:
    void copyIn(int64_t slot, const float* from, int64_t frames);
    void copyOut(int64_t slot, float* to, int64_t frames) const;

    // Each counter sits alone on its own 128-byte line so the two sides never share one.
    struct alignas(128) Counter {
        std::atomic<int64_t> value{0};
    };
    static_assert(std::atomic<int64_t>::is_always_lock_free);

    const int64_t m_capacityFrames;
    const int64_t m_channels;
    const int64_t m_mask;
    std::unique_ptr<float[]> m_storage;
    Counter m_write;
    Counter m_read;
};

}  // namespace harkwell
