#include "pipeline/BackfillSync.h"

#include "foundation/DurationSeconds.h"
#include "foundation/HarkwellLog.h"
#include "foundation/JobStatus.h"
#include "foundation/RecordingTypes.h"
#include "platform/clock/Clock.h"

#include <QDir>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <cmath>
#include <limits>

namespace harkwell {

namespace {

void log(const QString& line) { HarkwellLog::log(QStringLiteral("[harkwell] BackfillSync: ") + line); }

// Seconds since 1970 that name a time a note can carry; 0, negative, absurd or non-finite values
// count as no time at all.
std::optional<QDateTime> usableTime(const std::optional<double>& seconds)
{
    constexpr double kLastSecondOfYear9999 = 253'402'300'799.0;
    if (!seconds || !std::isfinite(*seconds) || *seconds <= 0 || *seconds > kLastSecondOfYear9999)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(*seconds * 1000.0)), Qt::UTC);
}

// The base id, or the first of <base>_2, <base>_3 … that no note stands under.
QString freeNoteId(const QString& inboxFolder, const QString& base)
{
    auto taken = [&](const QString& id) { return QFileInfo::exists(inboxFolder + QLatin1Char('/') + id + QStringLiteral(".md")); };
    if (!taken(base))
        return base;
    for (int n = 2;; ++n) {
        const QString candidate = base + QLatin1Char('_') + QString::number(n);
        if (!taken(candidate))
            return candidate;
    }
}

}  // namespace

BackfillSync::Progress BackfillSync::Progress::syncing(int done, int total, std::optional<QString> currentTitle)
{
    Progress progress;
    progress.kind = Kind::Syncing;
    progress.done = done;
    progress.total = total;
    progress.currentTitle = std::move(currentTitle);
    return progress;
}

BackfillSync::Progress BackfillSync::Progress::finished(int synced, int skipped, int failed)
{
    Progress progress;
    progress.kind = Kind::Finished;
    progress.synced = synced;
    progress.skipped = skipped;
    progress.failed = failed;
    return progress;
}

BackfillSync::Progress BackfillSync::Progress::listingFailed(ClientError error)
{
    Progress progress;
    progress.kind = Kind::Failed;
    progress.error = std::move(error);
    return progress;
}

BackfillSync::BackfillSync(MirelonClient client, InboxWriter inboxWriter, Clock& clock)
    : m_client(std::move(client)), m_inboxWriter(std::move(inboxWriter)), m_clock(&clock)
{
}

BackfillSync::BackfillSync(MirelonClient client, InboxWriter inboxWriter)
    : BackfillSync(std::move(client), std::move(inboxWriter), Clock::system())
{
}

QSet<QString> BackfillSync::existingExternalIds(const QString& inboxFolder)
{
    QSet<QString> ids;
    const QFileInfoList entries = QDir(inboxFolder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.suffix() != QLatin1String("md"))
            continue;
        const auto note = InboxWriter::readFrontmatter(entry.filePath());
        if (note && note->externalId && !note->externalId->isEmpty())
            ids.insert(*note->externalId);
    }
    return ids;
}

QCoro::Task<> BackfillSync::run(ProgressHandler progress)
{
    progress(Progress::listing());
    auto listed = co_await m_client.listAllSources(false);
    if (!listed) {
        log(QStringLiteral("listAllSources failed: %1").arg(listed.error().plainDescription()));
        progress(Progress::listingFailed(listed.error()));
        co_return;
    }

    const QString inboxFolder = m_inboxWriter.inboxFolder();
    // Futures are named rather than awaited as temporaries: g++ 12 destroys a co_await
    // expression's temporaries twice.
    QFuture<QSet<QString>> reading = QtConcurrent::run([inboxFolder] { return existingExternalIds(inboxFolder); });
    const QSet<QString> held = co_await reading;
    QList<SourceMetadata> toFetch;
    for (const SourceMetadata& source : *listed)
        if (!source.is_deleted.value_or(false) && !held.contains(source.cache_key))
            toFetch.append(source);

    const int listedCount = int(listed->size());
    const int total = int(toFetch.size());
    log(QStringLiteral("total_remote=%1 already_local=%2 to_fetch=%3").arg(listedCount).arg(listedCount - total).arg(total));
    progress(Progress::syncing(0, total, std::nullopt));

    int synced = 0;
    int failed = 0;
    for (const SourceMetadata& source : toFetch) {
        if (m_cancelled) {
            log(QStringLiteral("cancelled at %1/%2").arg(synced).arg(total));
            break;
        }
        progress(Progress::syncing(synced, total, source.llm_title));

        std::optional<QString> failure;
        auto detail = co_await m_client.source(source.cache_key);
        if (detail) {
            QCoro::Task<std::optional<QString>> writing = writeNote(*std::move(detail), source);
            failure = co_await writing;
        } else {
            failure = detail.error().plainDescription();
        }
        if (failure) {
            ++failed;
            log(QStringLiteral("failed cache_key=%1 err=%2").arg(source.cache_key, *failure));
        } else {
            ++synced;
        }
    }

    progress(Progress::syncing(synced, total, std::nullopt));
    progress(Progress::finished(synced, listedCount - total, failed));
}

QCoro::Task<std::optional<QString>> BackfillSync::writeNote(SourceDetail detail, SourceMetadata listed)
{
    const QDateTime created =
        usableTime(listed.created_at).value_or(usableTime(listed.timestamp).value_or(m_clock->now()));
    const InboxWriter writer = m_inboxWriter;

    QFuture<std::optional<QString>> writing = QtConcurrent::run([writer, detail = std::move(detail), created]() -> std::optional<QString> {
        InboxFrontmatter note =
            InboxWriter::stubNote(freeNoteId(writer.inboxFolder(), recordingCanonicalId(created)), created,
                                  QStringLiteral("voice_memo"), QStringLiteral("mirelon_backfill"));
        note.audioDurationSec = DurationSeconds::rounded(detail.result.duration);
        note.externalId = detail.cache_key;
        note.mirelonJobStatus = QString::fromLatin1(JobStatus::kDone);
        note.title = detail.result.llm_title;
        note.tags = {QStringLiteral("voice-memo"), QStringLiteral("harkwell-backfill")};

        const QString body = detail.result.text ? *detail.result.text
                             : detail.result.llm_summary ? *detail.result.llm_summary
                                                         : QString::fromLatin1(kNoContentBody);
        if (auto made = writer.ensureDirectories(); !made)
            return made.error().text;
        if (auto written = writer.writeMarkdown(note, body); !written)
            return written.error().text;
        return std::nullopt;
    });
    co_return co_await writing;
}

}  // namespace harkwell
