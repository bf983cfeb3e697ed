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
#include <QRegularExpression>

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
    const QString key = QString::fromLatin1(kWatermarkKey);
    if (const std::optional<QDateTime> stored = defaults.dateValue(key))
        return *stored;

    // A damaged defaults file (or the copy of one kept aside before the watermark was stored again)
    // says nothing about the first launch being now: "now" would keep every older capture from ever
    // being retried. The date is taken from the damaged text while it is still there; without it
    // no capture is kept out by its age.
    const bool keptNow = defaults.keepAsideIfDamaged();
    if (QFileInfo::exists(defaults.keptAsidePath())) {
        const std::optional<QDateTime> recovered = watermarkIn(defaults.keptAsidePath());
        const QDateTime watermark = recovered.value_or(QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
        defaults.setDate(key, watermark);
        const QString file = QFileInfo(defaults.filePath()).fileName();
        const QString kept = QFileInfo(defaults.keptAsidePath()).fileName();
        const QString what = keptNow ? QStringLiteral("%1 could not be read; kept it as %2").arg(file, kept)
                                     : QStringLiteral("%1 was damaged before and is kept as %2").arg(file, kept);
        HarkwellLog::log(recovered ? QStringLiteral("[harkwell] capture retry: %1; watermark %2 taken from it")
                                         .arg(what, DateForms::internetDateTime(watermark))
                                   : QStringLiteral("[harkwell] capture retry: %1; it holds no watermark, so captures "
                                                    "of any age are retried")
                                         .arg(what));
        return watermark;
    }

    const QDateTime now = clock.now();
    defaults.setDate(key, now);
    HarkwellLog::log(QStringLiteral("[harkwell] capture retry: watermark set to %1 — captures older than this are never retried")
                         .arg(DateForms::internetDateTime(now)));
    return now;
}

std::optional<QDateTime> CaptureRetry::watermarkIn(const QString& damagedFile)
{
    QFile file(damagedFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The text need not parse as a whole: a truncated file still holds the pairs before its cut.
    static const QRegularExpression pair(QStringLiteral("\"%1\"\\s*:\\s*\"([^\"]*)\"")
                                             .arg(QRegularExpression::escape(QString::fromLatin1(kWatermarkKey))));
    const QRegularExpressionMatch match = pair.match(QString::fromUtf8(file.readAll()));
    if (!match.hasMatch())
        return std::nullopt;
    const QDateTime date = QDateTime::fromString(match.captured(1), Qt::ISODateWithMs);
    return date.isValid() ? std::optional(date) : std::nullopt;
}

bool CaptureRetry::isRetryable(const InboxFrontmatter& note)
{
    return JobStatus::isRetryable(note.mirelonJobStatus, note.externalId);
}

QStringList CaptureRetry::ids(const QString& vaultRoot, const Predicate& accept, Clock& clock)
{
    // Notes keep their time to the whole second, the watermark to the millisecond: a capture of the
    // watermark's own second counts as made after it.
    const QDateTime oldestKept = QDateTime::fromSecsSinceEpoch(retryWatermark(clock).toSecsSinceEpoch(), Qt::UTC);
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
        if (note->created < oldestKept && !CapturePipeline::isRecordingOrigin(note->sourceOrigin))
            continue;
        const auto audio = inbox.audioCopyPath(note->id);
        if (!audio || !QFileInfo::exists(*audio))
            continue;
        found.append(note->id);
    }
    std::sort(found.begin(), found.end());
    return found;
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
