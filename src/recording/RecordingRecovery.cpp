#include "recording/RecordingRecovery.h"

#include "audio/RecorderDeviceNames.h"
#include "foundation/HarkwellLog.h"
#include "foundation/RecordingSidecarStore.h"
#include "platform/audiohal/RecorderHAL.h"
#include "platform/media/AudioFileReader.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace harkwell {

namespace {

void log(const QString& message) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message); }

void newestFirst(QList<RecordingSidecar>& list)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const RecordingSidecar& a, const RecordingSidecar& b) { return a.startedAt > b.startedAt; });
}

std::optional<QDateTime> validTime(const QDateTime& time)
{
    return time.isValid() ? std::optional(time) : std::nullopt;
}

}  // namespace

const QSet<QString>& RecordingRecovery::unfinishedStatuses()
{
    static const QSet<QString> statuses{QString::fromLatin1(RecordingStatus::kRecording),
                                        QString::fromLatin1(RecordingStatus::kPaused),
                                        QString::fromLatin1(RecordingStatus::kStopped),
                                        QString::fromLatin1(RecordingStatus::kEncoded)};
    return statuses;
}

QList<RecordingSidecar> RecordingRecovery::scan(const std::optional<QString>& excluding)
{
    QList<RecordingSidecar> result;
    const QDir root(Paths::recordingsFolder());
    if (!root.exists())
        return result;
    // Hidden entries are left out, and links are not followed out of the recordings folder.
    const QFileInfoList entries = root.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString id = entry.fileName();
        if (excluding && *excluding == id)
            continue;
        std::optional<RecordingSidecar> sidecar = loadSidecar(id);
        if (!sidecar)
            sidecar = reconstructSidecar(id);
        if (!sidecar) {
            log(QStringLiteral("recovery: %1 has no readable recording.json and no audio; left alone").arg(id));
            continue;
        }
        if (unfinishedStatuses().contains(sidecar->status)) {
            result.append(*sidecar);
        } else if (sidecar->status == QLatin1String(RecordingStatus::kSent)
                   || sidecar->status == QLatin1String(RecordingStatus::kDiscarded)) {
            QDir(entry.filePath()).removeRecursively();
            log(QStringLiteral("recovery: removed leftover %1 folder (%2)").arg(id, sidecar->status));
        }
    }
    newestFirst(result);
    return result;
}

std::optional<RecordingSidecar> RecordingRecovery::loadSidecar(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id))
        return std::nullopt;
    QFile file(RecordingSidecarStore::path(id));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    for (const auto dates : {RecordingSidecar::DateDecoding::Iso8601, RecordingSidecar::DateDecoding::Iso8601Fractional,
                             RecordingSidecar::DateDecoding::ReferenceSeconds}) {
        auto decoded = RecordingSidecar::decode(bytes, dates);
        if (!decoded)
            continue;
        // The folder is the recording: a copied folder (a backup, a sync conflict) still holds the
        // original's id, and whatever is done to this recording must happen to this folder only.
        if (decoded->id != id) {
            log(QStringLiteral("recovery: %1 holds a recording.json with the id “%2”; taken as %1").arg(id, decoded->id));
            decoded->id = id;
        }
        return *decoded;
    }
    return std::nullopt;
}

std::optional<QDateTime> RecordingRecovery::startFromId(const QString& id)
{
    static const QRegularExpression stamp(QStringLiteral("^(\\d{2})(\\d{2})(\\d{2})-(\\d{2})(\\d{2})(\\d{2})"));
    const auto match = stamp.match(id.left(13));
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date(2000 + match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return validTime(QDateTime(date, time, Qt::LocalTime));
}

std::optional<RecordingSidecar> RecordingRecovery::reconstructSidecar(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id))
        return std::nullopt;
    const QDir folder(RecordingPaths::workFolder(id));
    if (!folder.exists())
        return std::nullopt;
    QStringList names;
    for (const QString& name : folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (name.startsWith(QLatin1String("segment-")) && name.endsWith(QLatin1String(".caf")))
            names.append(name);
    if (names.isEmpty())
        return std::nullopt;
    // By number: past segment-999 the names grow a digit, and segment-1000 follows segment-999.
    const auto number = [](const QString& name) {
        bool ok = false;
        const qlonglong n = QStringView(name).sliced(8, name.size() - 12).toLongLong(&ok);
        return ok ? n : std::numeric_limits<qlonglong>::max();
    };
    std::sort(names.begin(), names.end(), [&](const QString& a, const QString& b) {
        return std::pair(number(a), a) < std::pair(number(b), b);
    });

    RecordingSidecar sidecar;
    for (const QString& name : names) {
        const QFileInfo info(folder.filePath(name));
        const auto created = validTime(info.birthTime());
        const auto modified = validTime(info.lastModified());
        RecordingSidecar::Segment segment;
        segment.file = name;
        segment.startedAt = created.value_or(modified.value_or(QDateTime::currentDateTimeUtc()));
        segment.endedAt = modified.value_or(segment.startedAt);
        segment.sampleRate = 48000;
        if (const auto reader = AudioFileReader::open(info.filePath()); reader && (*reader)->format().sampleRate > 0)
            segment.sampleRate = (*reader)->format().sampleRate;
        segment.reason = QString::fromLatin1(sidecar.segments.isEmpty() ? SegmentReason::kStart : SegmentReason::kResume);
        sidecar.segments.append(segment);
    }

    sidecar.id = id;
    sidecar.startedAt = startFromId(id).value_or(sidecar.segments.first().startedAt);
    sidecar.endedAt = sidecar.segments.last().endedAt;
    sidecar.source = RecordingSource::allAudio();
    sidecar.microphoneName = QStringLiteral("unknown");
    sidecar.channelLayout = QString::fromLatin1(ChannelLayout::kMicrophoneSystem);
    sidecar.status = QString::fromLatin1(RecordingStatus::kStopped);
    sidecar.systemSideSilent = false;
    sidecar.micSideSilent = false;
    sidecar.reconstructed = true;

    saveSidecar(sidecar);
    log(QStringLiteral("recovery: %1 had no readable recording.json; rebuilt it from %2 segment(s)")
            .arg(id)
            .arg(sidecar.segments.size()));
    return sidecar;
}

RecordingSidecar RecordingRecovery::closeOpenEnds(RecordingSidecar sidecar)
{
    std::optional<QDateTime> lastEnd;
    if (!sidecar.segments.isEmpty())
        lastEnd = validTime(QFileInfo(QDir(RecordingPaths::workFolder(sidecar.id)).filePath(sidecar.segments.last().file))
                                .lastModified());
    if (!sidecar.segments.isEmpty() && !sidecar.segments.last().endedAt)
        sidecar.segments.last().endedAt = lastEnd.value_or(sidecar.segments.last().startedAt);
    if (!sidecar.endedAt) {
        if (lastEnd)
            sidecar.endedAt = lastEnd;
        else if (!sidecar.segments.isEmpty())
            sidecar.endedAt = sidecar.segments.last().endedAt;
        else
            sidecar.endedAt = sidecar.startedAt;
    }
    return sidecar;
}

void RecordingRecovery::saveSidecar(const RecordingSidecar& sidecar) { RecordingSidecarStore::save(sidecar); }

void RecordingRecovery::removeEncodedParts(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id))
        return;
    const QDir folder(RecordingPaths::workFolder(id));
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (name.endsWith(QLatin1String(".m4a")))
            QFile::remove(folder.filePath(name));
}

int RecordingRecovery::destroyLeftoverAggregates(RecorderHAL& hal)
{
    int destroyed = 0;
    const QString prefix = QString::fromLatin1(kRecorderAggregateUidPrefix);
    for (const AudioObjectId device : hal.objectIds(RecorderHAL::kSystemObject, AudioProperty::Devices)) {
        const auto uid = hal.string(device, AudioProperty::DeviceUid);
        if (!uid || !uid->startsWith(prefix))
            continue;
        if (const HalStatus status = hal.destroyAggregateDevice(device); status != 0) {
            log(QStringLiteral("could not destroy leftover aggregate device %1 (OSStatus %2)").arg(*uid, QString::number(status)));
            continue;
        }
        ++destroyed;
        log(QStringLiteral("destroyed leftover aggregate device %1").arg(*uid));
    }
    return destroyed;
}

}  // namespace harkwell
