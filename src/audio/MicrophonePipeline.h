#pragma once
// The microphone half of a segment's audio: delays the system reference to what the microphone
// hears, runs the echo canceller on demand (warm-up and a one-block cross-fade when it starts or
// stops mid-segment), and delays both file channels by the canceller's latency so they stay aligned.
// Not thread-safe: the recording writer calls it with its lock held.

#include <QtGlobal>

#include <memory>
#include <optional>
#include <vector>

namespace harkwell {

class EchoCanceller;

class MicrophonePipeline {
public:
    static constexpr qsizetype kChunkFrames = 8192;
    static constexpr double kMaximumReferenceDelay = 2.5;  // seconds
    static constexpr quint64 kLevelInterval = 95'000'000;  // ns

    MicrophonePipeline();
    ~MicrophonePipeline();
    MicrophonePipeline(const MicrophonePipeline&) = delete;
    MicrophonePipeline& operator=(const MicrophonePipeline&) = delete;

    // Prepares for a new segment; the canceller is kept (reset) unless the rate changed. A
    // `prepared` canceller of the segment's rate is used in place of making one here.
    void setUp(double sampleRate, bool hasMicrophone, double referenceDelay,
               std::unique_ptr<EchoCanceller> prepared = nullptr);
    // Forgets the segment: no microphone, canceller stopped.
    void endSegment();

    bool hasMicrophone() const { return m_hasMicrophone; }
    // The reference delay applied in this segment, in frames.
    qsizetype referenceDelayFrames() const { return m_refHistoryLength; }
    // Frames held back in the alignment delay lines; flushed with silence when the segment closes.
    qsizetype delayLength() const { return m_delayLength; }

    // The chunk's inputs, filled by the caller before run(): at most kChunkFrames each.
    float* micIn() { return m_micIn.data(); }
    float* refIn() { return m_refIn.data(); }

    // How the last run() changed cancelling mid-segment; the caller logs it, away from the audio.
    enum class Switch { none, on, off };

    // Runs one chunk of `frames` and writes the frames to keep as interleaved [microphone, system]
    // pairs into `out` (room for kChunkFrames frames); returns how many it wrote.
    qsizetype run(qsizetype frames, bool cancellingWanted, bool layoutAllowsCancelling, float* out);
    Switch lastSwitch() const { return m_lastSwitch; }

    // The cleaned signal is in the mix; true from then on until cancelling fades out completely.
    bool mixIncludesCleaned() const { return m_cancelMix > 0; }
    // Share of the cleaned signal in the microphone channel, 0…1.
    float cancelMix() const { return m_cancelMix; }
    bool segmentMarkedCancelled() const { return m_segmentMarkedCancelled; }
    void markSegmentCancelled() { m_segmentMarkedCancelled = true; }

    // The written microphone's peak since the last reading, once at least kLevelInterval has
    // passed (nothing otherwise, and nothing without a microphone).
    std::optional<float> takeLevel(quint64 uptimeNanoseconds);
    // Zeroes the peak and the interval so the next takeLevel reports 0 at once.
    void dropLevel();

    const EchoCanceller* canceller() const { return m_canceller.get(); }

private:
    std::unique_ptr<EchoCanceller> m_canceller;  // kept across segments
    bool m_hasMicrophone = false;
    bool m_cancellerRunning = false;
    Switch m_lastSwitch = Switch::none;
    qsizetype m_cancellerWarmup = 0;
    float m_cancelMix = 0;
    float m_cancelMixStep = 0;
    bool m_segmentMarkedCancelled = false;
    qsizetype m_alignSkip = 0;
    qsizetype m_delayLength = 0;
    qsizetype m_delayPosition = 0;
    qint64 m_framesIntoPipeline = 0;
    float m_meterPeak = 0;
    quint64 m_meterLastPublish = 0;

    std::vector<float> m_micIn, m_refIn, m_cleaned, m_delayMic, m_delayRef, m_refDelayed;  // kChunkFrames each
    std::vector<float> m_refHistory;  // grown when a segment needs more, never shrunk
    qsizetype m_refHistoryLength = 0;
    qsizetype m_refHistoryPosition = 0;
};

}  // namespace harkwell
