#include "audio/RecordingWriter.h"

#include "audio/AudioRingBuffer.h"
#include "audio/EchoCanceller.h"
#include "audio/SegmentFile.h"
#include "foundation/HarkwellLog.h"
#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace harkwell {

namespace {

void recorderLog(const QString& message) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message); }

QString systemErrorText(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

RecordingFileError posixError(const char* operation)
{
    const int code = errno;
    return {code, QStringLiteral("%1: %2").arg(QLatin1String(operation), systemErrorText(code))};
}

quint64 uptimeNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return quint64(now.tv_sec) * 1'000'000'000u + quint64(now.tv_nsec);
}

QString milliseconds(double seconds) { return QString::number(seconds * 1000.0, 'f', 0); }

}  // namespace

RecordingWriter::RecordingWriter(QString workFolder, RecordingSidecar sidecar, Clock& clock,
                                 SegmentFileFactory openSegment, QObject* parent)
    : QObject(parent)
    , m_workFolder(std::move(workFolder))
    , m_clock(clock)
    , m_openSegment(openSegment ? std::move(openSegment) : SegmentFileFactory(&SegmentFile::create))
    , m_state(std::move(sidecar))
    , m_interleaved(kChunkFrames * SegmentFile::kChannels)
    , m_transfer(kChunkFrames * SegmentFile::kChannels)
{
    m_handOverTimer.setInterval(kHandOverInterval);
    connect(&m_handOverTimer, &QTimer::timeout, this, &RecordingWriter::handOver);
    QDir().mkpath(m_workFolder);
    QMutexLocker locker(&m_lock);
    persistLocked();
}

RecordingWriter::~RecordingWriter()
{
    // A writer dropped without finish() still stops its thread before the fields it uses go away.
    {
        QMutexLocker locker(&m_lock);
        m_stopRequested = true;
    }
    if (m_thread.joinable()) {
        m_wake.release();
        m_thread.join();
    }
}

QString RecordingWriter::segmentFileName(int number) { return QString::asprintf("segment-%03d.caf", number); }

std::expected<void, RecordingFileError> RecordingWriter::beginSegment(double sampleRate,
                                                                      const std::optional<QString>& micDeviceName,
                                                                      const QString& reason,
                                                                      std::optional<bool> echoCancellation,
                                                                      std::optional<double> referenceDelay)
{
    // Planning a canceller's transforms takes a while: never with the lock held, which the writer
    // thread needs for every chunk.
    std::unique_ptr<EchoCanceller> prepared;
    if (micDeviceName && sampleRate > 0) {
        bool reusable = false;
        {
            QMutexLocker peek(&m_lock);
            reusable = m_pipeline.canceller() && m_pipeline.canceller()->sampleRate() == sampleRate;
        }
        if (!reusable)
            prepared = std::make_unique<EchoCanceller>(sampleRate);
    }

    QMutexLocker locker(&m_lock);
    if (m_file)
        endSegmentLocked();

    if (echoCancellation)
        setEchoSwitch(*echoCancellation);
    if (referenceDelay)
        m_referenceDelay = *referenceDelay > 0 ? *referenceDelay : 0;  // also turns NaN into 0

    const QString name = segmentFileName(int(m_state.segments.size()) + 1);
    const QString path = QDir(m_workFolder).filePath(name);

    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(m_workFolder).toStdString(), error);
    if (error)
        return std::unexpected(RecordingFileError {error.value(), QStringLiteral("%1: %2").arg(
                                                                      m_workFolder, QString::fromStdString(error.message()))});
    std::filesystem::remove_all(QFile::encodeName(path).toStdString(), error);

    auto file = m_openSegment(path, sampleRate);
    if (!file) {
        recorderLog(QStringLiteral("cannot create %1: %2").arg(name, file.error()));
        return std::unexpected(RecordingFileError {0, file.error()});
    }

    m_file = std::move(*file);
    m_segmentPath = QFile::encodeName(path);
    m_framesInSegment = 0;
    m_writeErrorLogged = false;

    m_pipeline.setUp(sampleRate, micDeviceName.has_value(), m_referenceDelay, std::move(prepared));
    const bool hasMicrophone = m_pipeline.hasMicrophone();
    const double appliedDelay = hasMicrophone ? double(m_pipeline.referenceDelayFrames()) / sampleRate : 0.0;

    RecordingSidecar::Segment segment;
    segment.file = name;
    segment.startedAt = m_clock.now();
    segment.sampleRate = sampleRate;
    segment.micDeviceName = micDeviceName;
    segment.reason = reason;
    segment.echoCancelled = false;
    if (hasMicrophone)
        segment.echoReferenceDelay = appliedDelay;
    m_state.segments.append(segment);
    persistLocked();

    const QString echo = hasMicrophone ? (echoSwitch() ? QStringLiteral("on") : QStringLiteral("off")) : QStringLiteral("n/a");
    recorderLog(QStringLiteral("segment %1 started (%2 Hz, reason %3, echo cancellation %4, reference delay %5 ms)")
                    .arg(name, QString::number(sampleRate, 'f', 0), reason, echo, milliseconds(appliedDelay)));
    return {};
}

void RecordingWriter::startDraining(std::shared_ptr<AudioRingBuffer> ring)
{
    m_handOverTimer.start();
    QMutexLocker locker(&m_lock);
    m_ring = std::move(ring);
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this] {
        // Linux keeps 15 bytes of a thread's name.
        const QByteArray name = QByteArray(kThreadName).left(15);
        pthread_setname_np(pthread_self(), name.constData());
        drainLoop();
    });
}

RecordingSidecar RecordingWriter::finish()
{
    bool hasThread = false;
    {
        QMutexLocker locker(&m_lock);
        m_stopRequested = true;
        hasThread = m_thread.joinable();
    }
    // Waiting without the lock lets the thread finish its last drain.
    if (hasThread) {
        m_wake.release();
        m_thread.join();
    }

    QMutexLocker locker(&m_lock);
    endSegmentLocked();
    m_state.endedAt = m_clock.now();
    m_state.status = QString::fromLatin1(RecordingStatus::kStopped);
    persistLocked();
    recorderLog(QStringLiteral("writer finished %1 (%2 segment(s))")
                    .arg(m_state.id.isEmpty() ? QStringLiteral("?") : m_state.id)
                    .arg(m_state.segments.size()));
    return m_state;
}

void RecordingWriter::persistLocked()
{
    const QString path = QDir(RecordingPaths::workFolder(m_state.id)).filePath(QLatin1String(kSidecarName));
    if (auto written = writeDurably(m_state.encode(), path); !written)
        recorderLog(QStringLiteral("sidecar write failed: %1").arg(written.error().text));
}

void RecordingWriter::endSegmentLocked()
{
    if (!m_file)
        return;
    drainLocked();
    flushMicPipelineLocked();
    logNotesLocked();  // before the close's own lines, in the order things happened

    m_file.reset();  // closing rewrites the header one last time
    if (!m_segmentPath.isEmpty())
        syncFile(m_segmentPath);

    if (!m_state.segments.isEmpty())
        m_state.segments.last().endedAt = m_clock.now();
    persistLocked();

    const QString name = lastSegmentNameLocked();
    recorderLog(QStringLiteral("segment %1 closed (%2 frames)").arg(name, QString::number(m_framesInSegment)));

    if (m_pipeline.segmentMarkedCancelled() && m_pipeline.canceller()) {
        const EchoCanceller& canceller = *m_pipeline.canceller();
        const auto diagnostics = canceller.diagnostics();
        const double farEndSeconds =
            double(canceller.blockSize()) / canceller.sampleRate() * double(diagnostics.farEndActiveBlocks);
        recorderLog(QStringLiteral("echo canceller on %1: echo left %2 dB (leakage %3), far end heard %4 s, "
                                   "%5 take-overs, %6 background restarts, %7 divergence resets")
                        .arg(name)
                        .arg(QString::number(10.0 * std::log10(std::max<double>(diagnostics.leakage, 0.000001)), 'f', 0))
                        .arg(QString::number(diagnostics.leakage, 'f', 3))
                        .arg(QString::number(farEndSeconds, 'f', 0))
                        .arg(diagnostics.foregroundUpdates)
                        .arg(diagnostics.backgroundResets)
                        .arg(diagnostics.divergenceResets));
    }

    if (m_pipeline.hasMicrophone()) {
        m_pipeline.dropLevel();
        publishMicLevelLocked();
    }
    m_pipeline.endSegment();
}

void RecordingWriter::drainLoop()
{
    using namespace std::chrono;
    auto lastSync = steady_clock::now();
    for (;;) {
        (void)m_wake.try_acquire_for(50ms);

        QByteArray openSegment;
        bool stop = false;
        {
            QMutexLocker locker(&m_lock);
            drainLocked();
            stop = m_stopRequested;
            if (m_file)
                openSegment = m_segmentPath;
        }
        if (stop)
            return;

        // The flush runs outside the lock so that the session is never held up by the disk.
        if (!openSegment.isEmpty() && steady_clock::now() - lastSync >= 1s) {
            lastSync = steady_clock::now();
            syncFile(openSegment);
        }
    }
}

void RecordingWriter::drainLocked()
{
    if (!m_ring)
        return;
    for (;;) {
        const qint64 read = m_ring->read(m_interleaved.data(), kChunkFrames);
        if (read <= 0)
            break;
        if (!m_file)
            continue;  // paused or between segments: the ring keeps being emptied

        if (!m_pipeline.hasMicrophone()) {
            // Without a microphone the ring's two samples are the file's two channels as they are.
            writeLocked(m_interleaved.data(), read);
        } else {
            float* mic = m_pipeline.micIn();
            float* ref = m_pipeline.refIn();
            for (qint64 i = 0; i < read; ++i) {
                mic[i] = m_interleaved[2 * i];
                ref[i] = m_interleaved[2 * i + 1];
            }
            writeLocked(m_transfer.data(), runMicPipelineLocked(read));
        }
        if (read < kChunkFrames)
            break;
    }
    publishMicLevelLocked();
}

void RecordingWriter::writeLocked(const float* interleaved, qint64 frames)
{
    if (frames <= 0 || !m_file)
        return;
    const auto written = m_file->write(interleaved, frames);
    if (written) {
        m_framesInSegment += frames;
        return;
    }
    // The chunk is lost; recording goes on and the session's guard watches the count.
    ++m_failedWrites;
    m_lastWriteError = written.error();
    if (!m_writeErrorLogged) {
        m_writeErrorLogged = true;
        noteLocked(Note::Kind::writeFailed, *m_lastWriteError);
    }
}

qsizetype RecordingWriter::runMicPipelineLocked(qsizetype frames)
{
    const qsizetype written =
        m_pipeline.run(frames, echoSwitch(), segmentIsMicrophoneAndSystemLocked(), m_transfer.data());
    if (m_pipeline.lastSwitch() == MicrophonePipeline::Switch::on)
        noteLocked(Note::Kind::echoOn);
    else if (m_pipeline.lastSwitch() == MicrophonePipeline::Switch::off)
        noteLocked(Note::Kind::echoOff);
    if (m_pipeline.mixIncludesCleaned() && !m_pipeline.segmentMarkedCancelled() && !m_state.segments.isEmpty()) {
        m_pipeline.markSegmentCancelled();
        m_state.segments.last().echoCancelled = true;
        persistLocked();
    }
    return written;
}

void RecordingWriter::flushMicPipelineLocked()
{
    if (!m_pipeline.hasMicrophone() || !m_file)
        return;
    // Silence pushes the last real frames out of the delay lines: together with the frames skipped
    // at the start, the segment holds exactly the frames drained for it.
    for (qsizetype remaining = m_pipeline.delayLength(); remaining > 0;) {
        const qsizetype piece = std::min(remaining, kChunkFrames);
        std::fill_n(m_pipeline.micIn(), piece, 0.0f);
        std::fill_n(m_pipeline.refIn(), piece, 0.0f);
        writeLocked(m_transfer.data(), runMicPipelineLocked(piece));
        remaining -= piece;
    }
}

void RecordingWriter::publishMicLevelLocked()
{
    const std::optional<float> level = m_pipeline.takeLevel(uptimeNanoseconds());
    if (!level)
        return;
    m_level.store(*level, std::memory_order_relaxed);
    m_levelCount.fetch_add(1, std::memory_order_release);
}

void RecordingWriter::noteLocked(Note::Kind kind, const QString& detail)
{
    if (m_noteCount == kNoteCapacity) {
        ++m_notesLost;
    } else {
        Note& note = m_notes[m_noteCount++];
        note.kind = kind;
        note.segment = m_state.segments.size() - 1;
        note.detail = detail;
    }
    m_notesWaiting.store(true, std::memory_order_release);
}

void RecordingWriter::logNotesLocked()
{
    for (size_t i = 0; i < m_noteCount; ++i) {
        Note& note = m_notes[i];
        const QString name = note.segment >= 0 && note.segment < m_state.segments.size()
                                 ? m_state.segments[note.segment].file
                                 : QStringLiteral("?");
        switch (note.kind) {
        case Note::Kind::echoOn:
            recorderLog(QStringLiteral("echo cancellation on in %1").arg(name));
            break;
        case Note::Kind::echoOff:
            recorderLog(QStringLiteral("echo cancellation off in %1").arg(name));
            break;
        case Note::Kind::writeFailed:
            recorderLog(QStringLiteral("write failed in %1: %2").arg(name, note.detail));
            break;
        }
        note.detail.clear();
    }
    if (m_notesLost > 0)
        recorderLog(QStringLiteral("%1 further line(s) about the drain were lost").arg(m_notesLost));
    m_noteCount = 0;
    m_notesLost = 0;
    m_notesWaiting.store(false, std::memory_order_relaxed);
}

void RecordingWriter::handOver()
{
    // Never waits for the drain: what it noted keeps until a later tick or the segment's close.
    if (m_notesWaiting.load(std::memory_order_acquire) && m_lock.tryLock()) {
        logNotesLocked();
        m_lock.unlock();
    }
    const quint32 count = m_levelCount.load(std::memory_order_acquire);
    if (count != m_levelCountSeen) {
        m_levelCountSeen = count;
        emit micLevel(m_level.load(std::memory_order_relaxed));
    }
}

bool RecordingWriter::segmentIsMicrophoneAndSystemLocked() const
{
    if (!m_pipeline.hasMicrophone())
        return false;
    if (m_state.segments.isEmpty())
        return true;
    const std::optional<QString>& layout = m_state.segments.last().channelLayout;
    return !layout || *layout == QLatin1String(ChannelLayout::kMicrophoneSystem);
}

QString RecordingWriter::lastSegmentNameLocked() const
{
    return m_state.segments.isEmpty() ? QStringLiteral("?") : m_state.segments.last().file;
}

void RecordingWriter::syncFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::fsync(fd) != 0)
        recorderLog(QStringLiteral("fsync of %1 failed: %2")
                        .arg(QFileInfo(QFile::decodeName(path)).fileName(), systemErrorText(errno)));
    ::close(fd);
}

std::expected<void, RecordingFileError> RecordingWriter::writeDurably(const QByteArray& bytes, const QString& path)
{
    const QFileInfo target(path);
    const QString folder = target.absolutePath();
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error)
        return std::unexpected(
            RecordingFileError {error.value(), QStringLiteral("%1: %2").arg(folder, QString::fromStdString(error.message()))});

    const QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.") + target.fileName() + QStringLiteral(".tmp"));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::unexpected(posixError("open"));

    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const RecordingFileError failure = posixError("write");
            ::close(fd);
            ::unlink(temporary.constData());
            return std::unexpected(failure);
        }
        data += written;
        left -= written;
    }

    if (::fsync(fd) != 0) {
        const RecordingFileError failure = posixError("fsync");
        ::close(fd);
        ::unlink(temporary.constData());
        return std::unexpected(failure);
    }
    ::close(fd);

    // A failed rename keeps the temporary file: it holds the newest state.
    if (::rename(temporary.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) != 0)
        return std::unexpected(posixError("rename"));

    // The rename itself survives a power cut once the folder is synced.
    (void)AtomicFile::syncFolder(folder);
    return {};
}

}  // namespace harkwell
