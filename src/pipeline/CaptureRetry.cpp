#include "pipeline/CaptureRetry.h"

#include "foundation/DateForms.h"
#include "foundation/HarkwellLog.h"
#include "foundation/InboxWriter.h"
#include "foundation/JobStatus.h"
#include "foundation/Settings.h"
#include "pipeline/CapturePipeline.h"
#include "platform/clock/Clock.h"
#include "platform/defaults/Defaults.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <qcoro/qcorosignal.h>

#include <algorithm>

namespace harkwell {

namespace {

// Wakes a paused run either when its time is up or when the run is cancelled.
class PauseWaker : public QObject {
    Q_OBJECT
signals:
    void woken();
};

QCoro::Task<> wakeAfter(Clock& clock, std::chrono::milliseconds duration, QPointer<PauseWaker> waker)
{
    co_await clock.sleep(duration);
    if (waker)
        emit waker->woken();
}

}  // namespace

CaptureRetry::Progress CaptureRetry::Progress::uploading(int done, int total, QString currentId)
{
    Progress progress;
    progress.kind = Kind::Uploading;
    progress.done = done;
    progress.total = total;
    progress.currentId = std::move(currentId);
    return progress;
}

CaptureRetry::Progress CaptureRetry::Progress::finished(int uploaded, int skipped, int failed)
{
    Progress progress;
    progress.kind = Kind::Finished;
    progress.uploaded = uploaded;
    progress.skipped = skipped;
    progress.failed = failed;
    return progress;
}

CaptureRetry::CaptureRetry(CapturePipeline& pipeline, Settings& settings, Clock& clock, QObject* parent)
    : QObject(parent), m_pipeline(pipeline), m_settings(settings), m_clock(clock)
{
}

QDateTime CaptureRetry::retryWatermark(Clock& clock)
{
    Defaults defaults = Defaults::standard();
    if (const std::optional<QDateTime> stored = defaults.dateValue(QString::fromLatin1(kWatermarkKey)))
        return *stored;
    const QDateTime now = clock.now();
    defaults.setDate(QString::fromLatin1(kWatermarkKey), now);
    HarkwellLog::log(QStringLiteral("[harkwell] capture retry: watermark set to %1 — captures older than this are never retried")
                         .arg(DateForms::internetDateTime(now)));
    return now;
}

const QSet<QString>& CaptureRetry::retryableStates()
{
    static const QSet<QString> states{QString::fromLatin1(JobStatus::kSkipped), QString::fromLatin1(JobStatus::kUploadFailed),
                                      QString::fromLatin1(JobStatus::kPollTimeout), QString::fromLatin1(JobStatus::kFailed),
                                      QString::fromLatin1(JobStatus::kPaywalled)};
    return states;
}

bool CaptureRetry::isRetryable(const InboxFrontmatter& note)
{
    const QString status = note.mirelonJobStatus.value_or(QString::fromLatin1(JobStatus::kSkipped));
    if (retryableStates().contains(status))
        return true;
    if (status == QLatin1String(JobStatus::kQueued))
        return note.externalId.value_or(QString()).isEmpty();
    return false;
}

QStringList CaptureRetry::ids(const QString& vaultRoot, const Predicate& accept, Clock& clock)
{
    const QDateTime watermark = retryWatermark(clock);
    const InboxWriter inbox(vaultRoot);
    const QDir folder(inbox.inboxFolder());
    if (!folder.exists())
        return {};
    QStringList found;
    const QFileInfoList entries = folder.entryInfoList({QStringLiteral("*.md")}, QDir::Files, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.suffix() != QLatin1String("md"))
            continue;
        const auto note = InboxWriter::readFrontmatter(entry.absoluteFilePath());
        if (!note || !accept(*note))
            continue;
        if (note->created < watermark && !CapturePipeline::isRecordingOrigin(note->sourceOrigin))
            continue;
        const auto audio = inbox.audioCopyPath(note->id);
        if (!audio || !QFileInfo::exists(*audio))
            continue;
        found.append(note->id);
    }
    std::sort(found.begin(), found.end());
    return found;
}

QStringList CaptureRetry::ids(const QString& vaultRoot, const QSet<QString>& states, Clock& clock)
{
    return ids(
        vaultRoot,
        [&states](const InboxFrontmatter& note) {
            return states.contains(note.mirelonJobStatus.value_or(QString::fromLatin1(JobStatus::kSkipped)));
        },
        clock);
}

QString CaptureRetry::vaultRoot() const { return Paths::expandTilde(m_settings.settings().vaultPath); }

QStringList CaptureRetry::pendingIds() const { return ids(vaultRoot(), &CaptureRetry::isRetryable, m_clock); }

void CaptureRetry::cancel()
{
    m_cancelled = true;
    emit cancelled();
}

QCoro::Task<> CaptureRetry::pause()
{
    if (m_cancelled)
        co_return;
    PauseWaker waker;
    connect(this, &CaptureRetry::cancelled, &waker, &PauseWaker::woken);
    wakeAfter(m_clock, kGapBetweenUploads, &waker);
    co_await qCoro(&waker, &PauseWaker::woken);
}

QCoro::Task<> CaptureRetry::run(std::function<void(const Progress&)> onProgress)
{
    if (m_running)
        co_return;
    m_running = true;
    m_cancelled = false;
    // Reports reach the caller one by one, in order, from this object's event loop.
    auto report = [this, onProgress](const Progress& progress) {
        QMetaObject::invokeMethod(this, [onProgress, progress] { onProgress(progress); }, Qt::QueuedConnection);
    };
    report(Progress::scanning());

    const QStringList pending = pendingIds();
    int uploaded = 0;
    int skipped = 0;
    int failed = 0;
    for (qsizetype i = 0; i < pending.size(); ++i) {
        if (m_cancelled)
            break;
        const QString& id = pending.at(i);
        report(Progress::uploading(int(i), int(pending.size()), id));

        const auto notePath = InboxWriter(vaultRoot()).notePath(id);
        const auto note = notePath ? InboxWriter::readFrontmatter(*notePath) : std::unexpected(notePath.error());
        if (note && !isRetryable(*note)) {
            ++skipped;
            continue;
        }
        if (co_await m_pipeline.uploadExisting(id))
            ++uploaded;
        else
            ++failed;
        if (i + 1 < pending.size())
            co_await pause();
    }
    report(Progress::finished(uploaded, skipped, failed));
    m_running = false;
}

}  // namespace harkwell

#include "CaptureRetry.moc"
