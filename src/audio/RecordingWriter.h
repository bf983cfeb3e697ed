#pragma once
// Owns one recording's segment files and its recording.json while it runs: a writer thread drains
// the engine's ring into numbered CAF segments (through the microphone pipeline when the segment
// records the microphone), and every change of the live sidecar is written durably.

#include "audio/MicrophonePipeline.h"
#include "audio/SegmentFile.h"
#include "foundation/RecordingTypes.h"
#include "platform/clock/Clock.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <expected>
#include <memory>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

namespace harkwell {

class AudioRingBuffer;

struct RecordingFileError {
    int code = 0;  // errno where the system gave one
    QString text;  // user-facing, e.g. "rename: Is a directory"
};

class RecordingWriter final : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kChunkFrames = MicrophonePipeline::kChunkFrames;
    static constexpr char kThreadName[] = "harkwell.recorder.writer";
    static constexpr char kSidecarName[] = "recording.json";

    // Creates the work folder (a failure shows up at the first sidecar write) and writes the
    // sidecar once. Lives on the thread that makes it; micLevel is delivered there. No
    // openSegment: segments are real files (SegmentFile::create).
    RecordingWriter(QString workFolder, RecordingSidecar sidecar, Clock& clock = Clock::system(),
                    SegmentFileFactory openSegment = {}, QObject* parent = nullptr);
    ~RecordingWriter() override;

    // Closes the open segment and opens "segment-%03d.caf" numbered after the sidecar's segments.
    // No echoCancellation keeps the echo switch; no referenceDelay keeps the last one.
    std::expected<void, RecordingFileError> beginSegment(double sampleRate, const std::optional<QString>& micDeviceName,
                                                         const QString& reason,
                                                         std::optional<bool> echoCancellation = std::nullopt,
                                                         std::optional<double> referenceDelay = std::nullopt);
    // Drains this ring from now on; starts the writer thread when none runs.
    void startDraining(std::shared_ptr<AudioRingBuffer> ring);
    // Stops the thread, closes the open segment, marks the sidecar "stopped" and returns it.
    RecordingSidecar finish();

    // Guards the live sidecar, the open segment and the microphone pipeline. The session changes
    // stateLocked() only while holding it and calls persistLocked() before letting go.
    QMutex& lock() { return m_lock; }
    RecordingSidecar& stateLocked() { return m_state; }
    void persistLocked();
    void endSegmentLocked();
    int failedWritesLocked() const { return m_failedWrites; }
    std::optional<QString> lastWriteErrorLocked() const { return m_lastWriteError; }
    qint64 framesInSegmentLocked() const { return m_framesInSegment; }

    // Whether the microphone should be echo-cancelled; the pipeline reads it once per chunk.
    bool echoSwitch() const { return m_echoSwitch.load(); }
    void setEchoSwitch(bool on) { m_echoSwitch.store(on); }

    // The crash-safe write: a temporary ".<name>.tmp" beside the target, synced, renamed over it,
    // then the folder synced. The target is never left half-written.
    static std::expected<void, RecordingFileError> writeDurably(const QByteArray& bytes, const QString& path);

    // "segment-%03d.caf" for the segment numbered from 1.
    static QString segmentFileName(int number);

signals:
    // The cleaned microphone's peak (0…1), at most about every 95 ms and 0 when a segment closes.
    void micLevel(float level);

private:
    void drainLoop();
    void drainLocked();
    void writeLocked(const float* interleaved, qint64 frames);
    qsizetype runMicPipelineLocked(qsizetype frames);
    void flushMicPipelineLocked();
    void publishMicLevelLocked();
    bool segmentIsMicrophoneAndSystemLocked() const;
    QString lastSegmentNameLocked() const;
    static void syncFile(const QString& path);

    const QString m_workFolder;
    Clock& m_clock;
    const SegmentFileFactory m_openSegment;

    QMutex m_lock;  // guards every field below up to m_thread, and the pipeline
    RecordingSidecar m_state;
    std::unique_ptr<SegmentFile> m_file;
    std::shared_ptr<AudioRingBuffer> m_ring;
    std::thread m_thread;
    bool m_stopRequested = false;
    bool m_writeErrorLogged = false;
    qint64 m_framesInSegment = 0;
    int m_failedWrites = 0;  // never reset
    std::optional<QString> m_lastWriteError;
    QString m_segmentPath;
    double m_referenceDelay = 0;  // seconds, never negative
    MicrophonePipeline m_pipeline;
    std::vector<float> m_interleaved;  // one chunk as read from the ring
    std::vector<float> m_transfer;     // one chunk as it goes to the file

    std::binary_semaphore m_wake{0};  // wakes the writer thread early
    std::atomic<bool> m_echoSwitch{false};
};

}  // namespace harkwell
