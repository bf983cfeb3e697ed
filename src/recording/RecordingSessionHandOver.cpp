// RecordingSession: handing a finished recording to the capture pipeline (encode, hand over,
// confirm every part in the vault, only then remove the work folder), and the unfinished
// recordings offered in the menu.

#include "recording/RecordingSession.h"

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/media/AudioFileReader.h"
#include "platform/paths/Paths.h"
#include "recording/RecordingEncoder.h"
#include "recording/RecordingRecovery.h"

#include <QDir>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <cmath>

namespace harkwell {

namespace {

constexpr char kNotInVault[] = "the audio did not arrive in the vault's _inbox/.audio";

std::optional<qint64> fileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() ? std::optional(info.size()) : std::nullopt;
}

double playingSeconds(const QString& path)
{
    const auto reader = AudioFileReader::open(path);
    if (!reader || (*reader)->format().sampleRate <= 0)
        return 0;
    return double((*reader)->lengthFrames()) / (*reader)->format().sampleRate;
}

QString uploadName(RecordingSubmitOutcome::Upload upload)
{
    switch (upload) {
    case RecordingSubmitOutcome::Upload::Nothing:
        return QStringLiteral("nothing");
    case RecordingSubmitOutcome::Upload::Uploading:
        return QStringLiteral("uploading");
    case RecordingSubmitOutcome::Upload::UploadOff:
        return QStringLiteral("uploadOff");
    case RecordingSubmitOutcome::Upload::NotPaired:
        break;
    }
    return QStringLiteral("notPaired");
}

void newestFirst(QList<RecordingSidecar>& list)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const RecordingSidecar& a, const RecordingSidecar& b) { return a.startedAt > b.startedAt; });
}

bool isBusy(const RecordingState& state)
{
    using Kind = RecordingState::Kind;
    return state.kind == Kind::Starting || state.kind == Kind::Recording || state.kind == Kind::Paused
           || state.kind == Kind::Finishing;
}

}  // namespace

// ---- the hand-over ----------------------------------------------------------------------------

QCoro::Task<std::expected<QString, QString>> RecordingSession::encodeAndSubmit(RecordingSidecar sidecar)
{
    const QString id = sidecar.id;
    const QString folder = RecordingPaths::workFolder(id);
    RecordingRecovery::removeEncodedParts(id);

    QFuture<std::expected<QStringList, EncodeError>> encoding =
        QtConcurrent::run([folder, sidecar] { return RecordingEncoder::encode(folder, sidecar); });
    const auto parts = co_await encoding;
    if (!parts)
        co_return std::unexpected(parts.error().text());
    if (parts->isEmpty())
        co_return std::unexpected(QString::fromLatin1(kNotInVault));

    RecordingSidecar encoded = sidecar;
    encoded.status = QString::fromLatin1(RecordingStatus::kEncoded);
    RecordingRecovery::saveSidecar(encoded);

    QList<std::optional<qint64>> sizes;
    QList<QUrl> urls;
    double duration = 0;
    for (const QString& part : *parts) {
        sizes.append(fileSize(part));
        urls.append(QUrl::fromLocalFile(part));
        duration += playingSeconds(part);
    }

    auto submitting = m_services.submitRecording(urls, encoded);
    const RecordingSubmitOutcome outcome = co_await submitting;
    if (!vaultHasParts(outcome, sizes))
        co_return std::unexpected(QString::fromLatin1(kNotInVault));

    encoded.status = QString::fromLatin1(RecordingStatus::kSent);
    RecordingRecovery::saveSidecar(encoded);
    removeWorkFolder(id);

    const QString durationText = duration >= 60 ? QStringLiteral("%1 min").arg(std::lround(duration / 60))
                                                : QStringLiteral("%1 s").arg(std::lround(duration));
    const QString partsText = parts->size() > 1 ? QStringLiteral(" in %1 parts").arg(parts->size()) : QString();
    log(QStringLiteral("handed over %1%2 (%3), upload %4").arg(id, partsText, durationText, uploadName(outcome.upload)));
    switch (outcome.upload) {
    case RecordingSubmitOutcome::Upload::Uploading:
        co_return QStringLiteral("Sent ") + id + partsText + QStringLiteral(" (") + durationText + QStringLiteral(")");
    case RecordingSubmitOutcome::Upload::UploadOff:
        co_return QStringLiteral("Saved ") + id + partsText + QStringLiteral(" to _inbox (") + durationText
            + QStringLiteral("); Mirelon upload is off");
    case RecordingSubmitOutcome::Upload::NotPaired:
    case RecordingSubmitOutcome::Upload::Nothing:
        break;
    }
    co_return QStringLiteral("Saved ") + id + partsText + QStringLiteral(" to _inbox (") + durationText
        + QStringLiteral("); connect Mirelon in Settings to transcribe it");
}

bool RecordingSession::vaultHasParts(const RecordingSubmitOutcome& outcome, const QList<std::optional<qint64>>& sizes) const
{
    if (sizes.isEmpty() || outcome.partIds.size() != sizes.size())
        return false;
    const QDir inbox(Paths::expandTilde(m_services.settings->settings().vaultPath) + QStringLiteral("/_inbox"));
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        const std::optional<QString>& partId = outcome.partIds[i];
        if (!partId || partId->isEmpty())
            return false;
        if (!QFileInfo(inbox.filePath(*partId + QStringLiteral(".md"))).isFile())
            return false;
        const auto copied = fileSize(inbox.filePath(QStringLiteral(".audio/") + *partId + QStringLiteral(".m4a")));
        if (!copied)
            return false;
        if (outcome.reused.contains(*partId))
            continue;
        if (!sizes[i] || *sizes[i] != *copied)
            return false;
    }
    return true;
}

QString RecordingSession::withNotes(const QString& line) const
{
    QStringList notes;
    for (const RecordingWarning& w : m_warnings)
        if (w.kind == RecordingWarning::Kind::Note)
            notes.append(w.text);
    return notes.isEmpty() ? line : line + QStringLiteral(". ") + notes.join(QLatin1Char(' '));
}

void RecordingSession::removeWorkFolder(const QString& id) { RecordingRecovery::removeWorkFolder(id); }

// ---- unfinished recordings --------------------------------------------------------------------

void RecordingSession::addToRecovery(const RecordingSidecar& sidecar)
{
    m_pendingRecovery.removeIf([&](const RecordingSidecar& s) { return s.id == sidecar.id; });
    m_pendingRecovery.prepend(sidecar);
    newestFirst(m_pendingRecovery);
    emit changed();
}

void RecordingSession::launchCheck()
{
    if (isSupported() && !isActive() && m_state.kind != RecordingState::Kind::Starting)
        RecordingRecovery::destroyLeftoverAggregates(*m_services.hardware);
    m_pendingRecovery = RecordingRecovery::scan(isActive() ? m_currentId : std::nullopt);
    emit changed();
    if (m_pendingRecovery.isEmpty())
        return;
    QStringList ids;
    for (const RecordingSidecar& s : m_pendingRecovery)
        ids.append(s.id);
    log(QStringLiteral("%1 unfinished recording(s) found: %2").arg(QString::number(ids.size()), ids.join(QStringLiteral(", "))));
}

QCoro::Task<> RecordingSession::recoverSend(QString id)
{
    if (!RecordingPaths::isWorkFolderName(id)) {
        log(QStringLiteral("recovery: “%1” is not a recording id; not sending").arg(id));
        co_return;
    }
    if (m_currentId == id && isActive())
        co_return;
    if (m_recoveriesInFlight.contains(id)) {
        log(QStringLiteral("recovery: %1 is already being sent").arg(id));
        co_return;
    }
    std::optional<RecordingSidecar> sidecar = RecordingRecovery::loadSidecar(id);
    if (!sidecar)
        for (const RecordingSidecar& s : m_pendingRecovery)
            if (s.id == id) {
                sidecar = s;
                break;
            }
    if (!sidecar) {
        log(QStringLiteral("recovery: %1 not found").arg(id));
        co_return;
    }

    if (RecordingRecovery::flaggedSilent(*sidecar)) {
        // The flags were written while the recording ran; what is sent is the audio. Held as in
        // flight meanwhile, so a second press waits for this one.
        m_recoveriesInFlight.insert(id);
        QFuture<RecordingSidecar> measuring =
            QtConcurrent::run([flagged = *sidecar] { return RecordingRecovery::remeasureSilence(flagged); });
        sidecar = co_await measuring;
        m_recoveriesInFlight.remove(id);
        for (RecordingSidecar& offered : m_pendingRecovery)
            if (offered.id == id)
                offered = *sidecar;
        emit changed();
    }
    if (RecordingRecovery::flaggedSilent(*sidecar)) {
        log(QStringLiteral("recovery: %1 is digital silence on every side; not sending").arg(id));
        const QString text = QStringLiteral("Recording ") + id
                             + QStringLiteral(" is silent: no audio reached harkwell, so there is nothing to transcribe. "
                                              "Discard it.");
        if (isBusy(m_state))
            setLastResult(text);
        else
            setState(RecordingState::failed(text));
        co_return;
    }

    m_recoveriesInFlight.insert(id);
    const bool ownsSession = !isBusy(m_state);
    if (ownsSession)
        setState({RecordingState::Kind::Finishing, {}});
    else
        emit changed();

    const RecordingSidecar closed = RecordingRecovery::closeOpenEnds(*sidecar);
    RecordingRecovery::saveSidecar(closed);
    log(QStringLiteral("recovery: sending %1 (%2 segment(s))").arg(id, QString::number(closed.segments.size())));
    auto sending = encodeAndSubmit(closed);
    const auto summary = co_await sending;

    if (summary) {
        m_pendingRecovery.removeIf([&](const RecordingSidecar& s) { return s.id == id; });
        setLastResult(*summary);
        if (m_currentId == id)
            m_currentId.reset();
        if (ownsSession) {
            clearWarnings();
            setState({RecordingState::Kind::Idle, {}});
        }
    } else {
        log(QStringLiteral("recovery: sending %1 failed: %2").arg(id, summary.error()));
        const QString text = QStringLiteral("Could not send the recording ") + id + QStringLiteral(": ") + summary.error()
                             + QStringLiteral(". It is kept.");
        if (ownsSession)
            setState(RecordingState::failed(text));
        else
            setLastResult(text);
    }
    m_recoveriesInFlight.remove(id);
    emit changed();
}

void RecordingSession::recoverDiscard(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id)) {
        log(QStringLiteral("recovery: “%1” is not a recording id; not discarding").arg(id));
        return;
    }
    if (m_currentId == id && isActive())
        return;
    if (m_recoveriesInFlight.contains(id)) {
        log(QStringLiteral("recovery: %1 is being sent; not discarding it").arg(id));
        return;
    }
    removeWorkFolder(id);
    m_pendingRecovery.removeIf([&](const RecordingSidecar& s) { return s.id == id; });
    log(QStringLiteral("recovery: discarded %1").arg(id));
    if (m_currentId == id) {
        m_currentId.reset();
        if (m_state.kind == RecordingState::Kind::Failed) {
            clearWarnings();
            setState({RecordingState::Kind::Idle, {}});
        }
    }
    emit changed();
}

}  // namespace harkwell
