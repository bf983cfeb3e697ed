#pragma once
// Owns one recording's segment files and its recording.json while it runs: a writer thread drains
// the engine's ring into numbered CAF segments (through the microphone pipeline when the segment
// records the microphone), and every change of the live sidecar is written durably.

#include "audio/MicrophonePipeline.h"
#include "audio/SegmentFile.h"
#include "foundation/RecordingTypes.h"
#include "platform/clock/Clock.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
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
    // Drains this ring from now on; starts the writer thread when none runs. Call it on the
    // writer's own thread, which then receives micLevel and logs what the drain noted.
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

    // How often the writer's own thread picks up what the drain left for it.
    static constexpr int kHandOverInterval = 40;  // ms

signals:
    // The cleaned microphone's peak (0…1), at most about every 95 ms and 0 when a segment closes;
    // on the writer's own thread. A reading the thread missed is replaced by the newer one.
    void micLevel(float level);

private:
    // What the drain has to say, logged later on the writer's own thread (or when the segment
    // closes): building a log line allocates, and the drain holds the lock the session waits on.
    struct Note {
        enum class Kind { echoOn, echoOff, writeFailed } kind = Kind::echoOn;
        qsizetype segment = -1;  // index in the sidecar's segments, -1 for none
        QString detail;          // the write error; shares the text the failed write made
    };
    static constexpr size_t kNoteCapacity = 8;

    void noteLocked(Note::Kind kind, const QString& detail = {});
    void logNotesLocked();
    void handOver();
    void drainLoop();
    void drainLocked();
    void writeLocked(const float* interleaved, qint64 frames);
    qsizetype runMicPipelineLocked(qsizetype frames);
    void flushMicPipelineLocked();
    void publishMicLevelLocked();
    bool segmentIsMicrophoneAndSystemLocked() const;
    QString lastSegmentNameLocked() const;
    static void syncFile(const QByteArray& path);

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
    QByteArray m_segmentPath;  // encoded once, so that the periodic sync allocates nothing
    double m_referenceDelay = 0;  // seconds, never negative
    MicrophonePipeline m_pipeline;
    std::vector<float> m_interleaved;  // one chunk as read from the ring
    std::vector<float> m_transfer;     // one chunk as it goes to the file
    std::array<Note, kNoteCapacity> m_notes;
    size_t m_noteCount = 0;
    int m_notesLost = 0;  // beyond the capacity before the writer's thread came by

    std::binary_semaphore m_wake{0};  // wakes the writer thread early
    std::atomic<bool> m_echoSwitch{false};

    // The level hand-over: the drain stores the reading and counts it; the writer's own thread
    // polls (no posted event, so nothing is allocated per reading).
    std::atomic<float> m_level{0};
    std::atomic<quint32> m_levelCount{0};
    quint32 m_levelCountSeen = 0;  // writer's own thread only
    std::atomic<bool> m_notesWaiting{false};
    QTimer m_handOverTimer;
};

}  // namespace harkwell
