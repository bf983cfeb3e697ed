#include "audio/MicrophonePipeline.h"

#include "audio/EchoCanceller.h"

#include <algorithm>
#include <cmath>

namespace harkwell {

MicrophonePipeline::MicrophonePipeline()
    : m_micIn(kChunkFrames)
    , m_refIn(kChunkFrames)
    , m_cleaned(kChunkFrames)
    , m_delayMic(kChunkFrames)
    , m_delayRef(kChunkFrames)
    , m_refDelayed(kChunkFrames)
{
}

MicrophonePipeline::~MicrophonePipeline() = default;

void MicrophonePipeline::setUp(double sampleRate, bool hasMicrophone, double referenceDelay,
                               std::unique_ptr<EchoCanceller> prepared)
{
    m_hasMicrophone = hasMicrophone && sampleRate > 0;
    m_cancellerRunning = false;
    m_cancellerWarmup = 0;
    m_cancelMix = 0;
    m_segmentMarkedCancelled = false;
    m_framesIntoPipeline = 0;
    m_meterPeak = 0;
    if (!m_hasMicrophone) {
        m_delayLength = 0;
        m_alignSkip = 0;
        m_refHistoryLength = 0;
        return;
    }

    if (m_canceller && m_canceller->sampleRate() == sampleRate)
        m_canceller->reset();
    else if (prepared && prepared->sampleRate() == sampleRate)
        m_canceller = std::move(prepared);
    else
        m_canceller = std::make_unique<EchoCanceller>(sampleRate);

    const qsizetype blockSize = m_canceller->blockSize();
    // The canceller's output lags its input by two blocks; both file channels wait as long.
    m_delayLength = std::min<qsizetype>(2 * blockSize, kChunkFrames);
    m_delayPosition = 0;
    std::fill_n(m_delayMic.begin(), m_delayLength, 0.0f);
    std::fill_n(m_delayRef.begin(), m_delayLength, 0.0f);
    m_alignSkip = m_delayLength;
    m_cancelMixStep = 1.0f / static_cast<float>(blockSize);

    const double delay = std::min(std::max(referenceDelay, 0.0), kMaximumReferenceDelay);
    m_refHistoryLength = static_cast<qsizetype>(std::lround(sampleRate * delay));
    if (static_cast<qsizetype>(m_refHistory.size()) < m_refHistoryLength)
        m_refHistory.assign(m_refHistoryLength, 0.0f);
    m_refHistoryPosition = 0;
    std::fill_n(m_refHistory.begin(), m_refHistoryLength, 0.0f);
}

void MicrophonePipeline::endSegment()
{
    m_hasMicrophone = false;
    m_cancellerRunning = false;
}

qsizetype MicrophonePipeline::run(qsizetype frames, bool cancellingWanted, bool layoutAllowsCancelling, float* out)
{
    m_lastSwitch = Switch::none;
    if (!m_canceller || !out || m_delayLength <= 0 || frames <= 0)
        return 0;
    frames = std::min(frames, kChunkFrames);

    float target = 0;
    if (cancellingWanted && layoutAllowsCancelling) {
        if (!m_cancellerRunning) {
            m_cancellerRunning = true;
            if (m_framesIntoPipeline == 0) {
                // Cancelling from the segment's very first frame: nothing to fade from.
                m_cancellerWarmup = 0;
                m_cancelMix = 1;
            } else {
                m_canceller->reset();
                m_cancellerWarmup = m_delayLength;
                m_lastSwitch = Switch::on;
            }
        }
        target = 1;
    }

    const float* reference = m_refIn.data();
    if (m_refHistoryLength > 0) {
        qsizetype position = m_refHistoryPosition;
        for (qsizetype i = 0; i < frames; ++i) {
            m_refDelayed[i] = m_refHistory[position];
            m_refHistory[position] = m_refIn[i];
            if (++position == m_refHistoryLength)
                position = 0;
        }
        m_refHistoryPosition = position;
        reference = m_refDelayed.data();
    }

    const bool running = m_cancellerRunning;
    if (running)
        m_canceller->process(m_micIn.data(), reference, m_cleaned.data(), frames);

    qsizetype written = 0;
    float peak = 0;
    for (qsizetype i = 0; i < frames; ++i) {
        const float dm = m_delayMic[m_delayPosition];
        const float dr = m_delayRef[m_delayPosition];
        m_delayMic[m_delayPosition] = m_micIn[i];
        m_delayRef[m_delayPosition] = m_refIn[i];
        if (++m_delayPosition == m_delayLength)
            m_delayPosition = 0;

        float sample = dm;
        if (running) {
            if (m_cancellerWarmup >= 1)
                --m_cancellerWarmup;
            else if (m_cancelMix < target)
                m_cancelMix = std::min(target, m_cancelMix + m_cancelMixStep);
            else if (m_cancelMix > target)
                m_cancelMix = std::max(target, m_cancelMix - m_cancelMixStep);
            if (m_cancelMix > 0)
                sample = dm + m_cancelMix * (m_cleaned[i] - dm);
        }

        if (m_alignSkip >= 1) {
            --m_alignSkip;  // the delay lines' initial silence never reaches the file
            continue;
        }
        out[2 * written] = sample;
        out[2 * written + 1] = dr;
        ++written;
        peak = std::max(peak, std::abs(sample));
    }

    m_framesIntoPipeline += frames;
    m_meterPeak = std::max(m_meterPeak, peak);

    if (target == 0 && m_cancellerRunning && m_cancelMix == 0) {
        m_cancellerRunning = false;
        m_lastSwitch = Switch::off;
    }
    return written;
}

std::optional<float> MicrophonePipeline::takeLevel(quint64 uptimeNanoseconds)
{
    if (!m_hasMicrophone || uptimeNanoseconds - m_meterLastPublish < kLevelInterval)
        return std::nullopt;
    m_meterLastPublish = uptimeNanoseconds;
    const float level = std::clamp(m_meterPeak, 0.0f, 1.0f);
    m_meterPeak = 0;
    return level;
}

void MicrophonePipeline::dropLevel()
{
    m_meterPeak = 0;
    m_meterLastPublish = 0;
}

}  // namespace harkwell
