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
#include <cmath>
#include <vector>
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

struct Heard {
    bool microphone = false;
    bool system = false;
};

// Reads the segment until each side its layout names has been heard, or to its end.
void listen(const QString& path, const QString& layout, Heard& heard)
{
    auto reader = AudioFileReader::open(path);
    if (!reader)
        return;
    const int channels = (*reader)->format().channels;
    if (channels <= 0)
        return;
    const bool split = layout == QLatin1String(ChannelLayout::kMicrophoneSystem) && channels == 2;
    const bool systemOnly = layout == QLatin1String(ChannelLayout::kSystemStereo);
    constexpr qint64 kFrames = 4096;
    std::vector<std::vector<float>> buffers(static_cast<size_t>(channels), std::vector<float>(kFrames));
    std::vector<float*> pointers;
    for (auto& buffer : buffers)
        pointers.push_back(buffer.data());
    const bool tellsMicrophone = !systemOnly;
    while (!(heard.system && (heard.microphone || !tellsMicrophone))) {
        const auto read = (*reader)->read(pointers.data(), kFrames);
        if (!read || *read <= 0)
            return;
        for (int ch = 0; ch < channels; ++ch) {
            const auto& samples = buffers[size_t(ch)];
            const bool loud = std::any_of(samples.begin(), samples.begin() + *read,
                                          [](float v) { return std::abs(v) > RecordingRecovery::kHeardFloor; });
            if (!loud)
                continue;
            if (split)
                (ch == 0 ? heard.microphone : heard.system) = true;
            else if (systemOnly)
                heard.system = true;
            else  // a layout this build cannot place: sound anywhere counts for both sides
                heard.microphone = heard.system = true;
        }
    }
}

}  // namespace

bool RecordingRecovery::flaggedSilent(const RecordingSidecar& sidecar)
{
    return sidecar.systemSideSilent && (!sidecar.microphoneName || sidecar.micSideSilent);
}

RecordingSidecar RecordingRecovery::remeasureSilence(RecordingSidecar sidecar)
{
    if (!sidecar.systemSideSilent && !sidecar.micSideSilent)
        return sidecar;
    if (!RecordingPaths::isWorkFolderName(sidecar.id) || isLink(sidecar.id))
        return sidecar;
    const QDir folder(RecordingPaths::workFolder(sidecar.id));
    Heard heard;
    for (const RecordingSidecar::Segment& segment : sidecar.segments) {
        if (heard.microphone && heard.system)
            break;
        // A segment name is one file of this folder; anything else is not read.
        if (segment.file.contains(QLatin1Char('/')) || segment.file.startsWith(QLatin1Char('.')))
            continue;
        listen(folder.filePath(segment.file), segment.channelLayout.value_or(sidecar.channelLayout), heard);
    }
    const bool systemSilent = sidecar.systemSideSilent && !heard.system;
    const bool micSilent = sidecar.micSideSilent && !heard.microphone;
    if (systemSilent == sidecar.systemSideSilent && micSilent == sidecar.micSideSilent)
        return sidecar;
    log(QStringLiteral("recovery: %1 was marked silent (system %2, microphone %3) but its audio holds sound; "
                       "marked heard")
            .arg(sidecar.id, sidecar.systemSideSilent ? QStringLiteral("silent") : QStringLiteral("heard"),
                 sidecar.micSideSilent ? QStringLiteral("silent") : QStringLiteral("heard")));
    sidecar.systemSideSilent = systemSilent;
    sidecar.micSideSilent = micSilent;
    saveSidecar(sidecar);
    return sidecar;
}

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
    // Hidden entries are left out. Links are listed (System brings dangling ones too) only to be
    // named in the log: one pointing outside would otherwise be offered, and emptied on Discard.
    const QFileInfoList entries =
        root.entryInfoList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString id = entry.fileName();
        if (entry.isSymLink()) {
            log(QStringLiteral("recovery: %1 is a symbolic link; ignored").arg(id));
            continue;
        }
        if (!entry.isDir() || (excluding && *excluding == id))
            continue;
        std::optional<RecordingSidecar> sidecar = loadSidecar(id);
        if (!sidecar)
            sidecar = reconstructSidecar(id);
        if (!sidecar) {
            log(QStringLiteral("recovery: %1 has no readable recording.json and no audio; left alone").arg(id));
            continue;
        }
        if (unfinishedStatuses().contains(sidecar->status)) {
            result.append(flaggedSilent(*sidecar) ? remeasureSilence(*sidecar) : *sidecar);
        } else if (sidecar->status == QLatin1String(RecordingStatus::kSent)
                   || sidecar->status == QLatin1String(RecordingStatus::kDiscarded)) {
            removeWorkFolder(id);
            log(QStringLiteral("recovery: removed leftover %1 folder (%2)").arg(id, sidecar->status));
        }
    }
    newestFirst(result);
    return result;
}

bool RecordingRecovery::isLink(const QString& id) { return QFileInfo(RecordingPaths::workFolder(id)).isSymLink(); }

std::optional<RecordingSidecar> RecordingRecovery::loadSidecar(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id) || isLink(id))
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
    if (!RecordingPaths::isWorkFolderName(id) || isLink(id))
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
    if (!RecordingPaths::isWorkFolderName(id) || isLink(id))
        return;
    const QDir folder(RecordingPaths::workFolder(id));
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (name.endsWith(QLatin1String(".m4a")))
            QFile::remove(folder.filePath(name));
}

bool RecordingRecovery::removeWorkFolder(const QString& id)
{
    if (!RecordingPaths::isWorkFolderName(id)) {
        log(QStringLiteral("not removing the work folder of “%1”: not a recording id").arg(id));
        return false;
    }
    if (isLink(id)) {
        log(QStringLiteral("not removing %1: it is a symbolic link").arg(id));
        return false;
    }
    // removeRecursively() unlinks the links it meets inside and does not descend into them.
    QDir folder(RecordingPaths::workFolder(id));
    if (!folder.exists())
        return true;
    if (folder.removeRecursively())
        return true;
    log(QStringLiteral("could not remove %1: %2").arg(folder.path(), QStringLiteral("some files could not be deleted")));
    return false;
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
