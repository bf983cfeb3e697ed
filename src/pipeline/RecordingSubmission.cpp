#include "pipeline/RecordingSubmission.h"

#include "foundation/DateForms.h"
#include "foundation/DurationSeconds.h"
#include "foundation/HarkwellLog.h"
#include "foundation/JobStatus.h"
#include "foundation/RecordingSidecarStore.h"
#include "foundation/Settings.h"
#include "platform/media/AudioDurationProbe.h"
#include "platform/paths/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <cmath>
#include <limits>

namespace harkwell {

namespace {

void log(const QString& line) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + line); }

constexpr qint64 kSameStartToleranceMs = 2000;

bool standsThere(const std::expected<QString, InboxError>& path)
{
    if (!path)
        return false;
    const QFileInfo info(*path);
    return info.exists() || info.isSymLink();
}

}  // namespace

struct RecordingSubmission::Placement {
    bool inboxReady = false;
    QList<std::optional<QString>> partIds;
    QSet<QString> reused;
    QList<QPair<QString, QDateTime>> uploads;  // (id, start of its audio), in the order handled
};

RecordingSubmission::RecordingSubmission(Services services) : m_services(std::move(services)) {}

QString RecordingSubmission::recorderSourceText(const RecordingSource& source)
{
    return source.isApp() ? source.name : QStringLiteral("All audio");
}

QString RecordingSubmission::freeId(const InboxWriter& inbox, const QString& base)
{
    auto isFree = [&](const QString& candidate) {
        return !standsThere(inbox.notePath(candidate)) && !standsThere(inbox.audioCopyPath(candidate));
    };
    if (isFree(base))
        return base;
    for (int k = 2; k < 1000; ++k) {
        const QString candidate = base + QLatin1Char('_') + QString::number(k);
        if (isFree(candidate))
            return candidate;
    }
    const QString fallback = base + QLatin1Char('_') + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
    HarkwellLog::log(
        QStringLiteral("[harkwell] capture: collision resolver hit 1000 attempts on %1, fallback=%2").arg(base, fallback));
    return fallback;
}

std::optional<InboxFrontmatter> RecordingSubmission::recordingInVault(const InboxWriter& inbox, const QString& id,
                                                                      const std::optional<QDateTime>& startedAt)
{
    const auto notePath = inbox.notePath(id);
    if (!notePath)
        return std::nullopt;
    auto stub = InboxWriter::readFrontmatter(*notePath);
    if (!stub)
        return std::nullopt;
    if (stub->sourceOrigin != QLatin1String("harkwell_recorder") && stub->sourceOrigin != QLatin1String("corvale_recorder"))
        return std::nullopt;
    if (!QFileInfo(*inbox.audioCopyPath(id)).isFile())
        return std::nullopt;
    if (startedAt && std::abs(startedAt->msecsTo(stub->created)) > kSameStartToleranceMs)
        return std::nullopt;
    return *std::move(stub);
}

RecordingSubmission::Placement RecordingSubmission::place(const QList<QUrl>& parts, RecordingSidecar sidecar,
                                                          const InboxWriter& inbox, bool uploadOn) const
{
    Placement placed;
    placed.partIds.fill(std::nullopt, parts.size());
    if (auto made = inbox.ensureDirectories(); !made) {
        log(QStringLiteral("cannot create the inbox for %1: %2").arg(sidecar.id, made.error().text));
        return placed;
    }
    placed.inboxReady = true;

    QStringList submitted = sidecar.submittedParts.value_or(QStringList());
    while (submitted.size() < parts.size())
        submitted.append(QString());
    const QString jobStatus = QString::fromLatin1(uploadOn ? JobStatus::kQueued : JobStatus::kSkipped);
    const QString sourceText = recorderSourceText(sidecar.source);

    // An id that another part of this recording holds is never taken for this one: a short part
    // would otherwise find the stub of the part before it (both within 2 s) and its own audio
    // would never reach the vault.
    auto heldByAnotherPart = [&](qsizetype index, const QString& id) {
        for (qsizetype other = 0; other < parts.size(); ++other)
            if (other != index && (placed.partIds[other] == id || submitted.value(other) == id))
                return true;
        return false;
    };

    double elapsed = 0.0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString partPath = parts[i].toLocalFile();
        std::optional<double> duration = m_services.durations->duration(partPath);
        if (duration && (!std::isfinite(*duration) || *duration < 0))
            duration.reset();
        const QDateTime partStart = sidecar.startedAt.addMSecs(std::llround(elapsed * 1000.0));
        elapsed += duration.value_or(0.0);
        const QString baseId = i == 0 ? sidecar.id : sidecar.id + QLatin1Char('_') + QString::number(i + 1);

        std::optional<InboxFrontmatter> earlier;
        QString earlierId;
        if (!submitted[i].isEmpty() && !heldByAnotherPart(i, submitted[i])) {
            earlier = recordingInVault(inbox, submitted[i], std::nullopt);
            earlierId = submitted[i];
        }
        if (!earlier && !heldByAnotherPart(i, baseId)) {
            earlier = recordingInVault(inbox, baseId, partStart);
            earlierId = baseId;
        }

        if (earlier) {
            placed.partIds[i] = earlierId;
            placed.reused.insert(earlierId);
            if (earlier->mirelonJobStatus != QLatin1String(JobStatus::kDone))
                placed.uploads.append({earlierId, earlier->created});
            if (submitted[i] != earlierId) {
                submitted[i] = earlierId;
                sidecar.submittedParts = submitted;
                RecordingSidecarStore::save(sidecar);
            }
            log(QStringLiteral("part %1 of %2 is already in the inbox as %3 (%4)")
                    .arg(i + 1)
                    .arg(sidecar.id, earlierId, earlier->mirelonJobStatus.value_or(QStringLiteral("no status"))));
            continue;
        }

        const QString id = freeId(inbox, baseId);
        if (auto copied = inbox.copyAudio(partPath, id); !copied) {
            log(QStringLiteral("copying %1 into the inbox as %2 failed: %3")
                    .arg(QFileInfo(partPath).fileName(), id, copied.error().text));
            continue;
        }

        InboxFrontmatter stub = InboxWriter::stubNote(id, partStart, QStringLiteral("meeting_recording"),
                                                      QStringLiteral("harkwell_recorder"));
        stub.audioDurationSec = DurationSeconds::rounded(duration);
        stub.mirelonJobStatus = jobStatus;
        stub.recorderSource = sourceText;
        stub.recorderMicrophone = sidecar.microphoneName.value_or(QStringLiteral("off"));
        stub.recorderChannelLayout = sidecar.channelLayout;
        stub.recorderLostSeconds = sidecar.lostSeconds;
        stub.tags = {QStringLiteral("meeting"), QStringLiteral("recording")};
        auto written = inbox.ensureDirectories();
        if (written)
            written = inbox.writeMarkdown(stub, QString());
        if (!written) {
            log(QStringLiteral("writing the stub for %1 failed: %2").arg(id, written.error().text));
            QFile::remove(*inbox.audioCopyPath(id));
            continue;
        }

        submitted[i] = id;
        sidecar.submittedParts = submitted;
        RecordingSidecarStore::save(sidecar);
        log(QStringLiteral("%1 is in the inbox (%2, %3 s)").arg(id, sourceText, QString::number(stub.audioDurationSec.value_or(-1))));
        placed.partIds[i] = id;
        placed.uploads.append({id, partStart});
    }
    return placed;
}

QCoro::Task<RecordingSubmitOutcome> RecordingSubmission::submit(QList<QUrl> parts, RecordingSidecar sidecar) const
{
    const AppSettings settings = m_services.settings->settings();
    const InboxWriter inbox(Paths::expandTilde(settings.vaultPath));
    const bool uploadOn = settings.captureMirelonEnabled.value_or(false);

    // The future is named rather than awaited as a temporary: g++ 12 destroys a co_await
    // expression's temporaries twice.
    QFuture<Placement> placing =
        QtConcurrent::run([this, parts, sidecar, inbox, uploadOn] { return place(parts, sidecar, inbox, uploadOn); });
    Placement placed = co_await placing;

    RecordingSubmitOutcome outcome;
    outcome.partIds = placed.partIds;
    outcome.reused = placed.reused;
    if (!placed.inboxReady) {
        outcome.upload = RecordingSubmitOutcome::Upload::Nothing;
    } else if (!uploadOn) {
        log(QStringLiteral("Mirelon upload disabled; %1 stays skipped in the vault").arg(sidecar.id));
        outcome.upload = RecordingSubmitOutcome::Upload::UploadOff;
    } else if (!m_services.isPaired()) {
        log(QStringLiteral("not paired with Mirelon; %1 waits in the vault (queued) until pairing").arg(sidecar.id));
        outcome.upload = RecordingSubmitOutcome::Upload::NotPaired;
    } else {
        const QString sourceText = recorderSourceText(sidecar.source);
        for (const auto& [id, start] : placed.uploads) {
            const QMap<QString, QString> metadata{
                {QStringLiteral("harkwell_id"), id},
                {QStringLiteral("recorder_source"), sourceText},
                {QStringLiteral("microphone"), sidecar.microphoneName.value_or(QStringLiteral("off"))},
                {QStringLiteral("channel_layout"), sidecar.channelLayout},
                {QStringLiteral("meeting_started_at"), DateForms::internetDateTime(start)},
            };
            m_services.startUpload(id, QStringLiteral("meeting"), {QStringLiteral("meeting"), QStringLiteral("harkwell-mac")},
                                   metadata);
        }
        outcome.upload = RecordingSubmitOutcome::Upload::Uploading;
    }
    co_return outcome;
}

}  // namespace harkwell
