#include "capture/CaptureImport.h"

#include "capture/CaptureAccess.h"
#include "foundation/HarkwellLog.h"

#include <QRegularExpression>

#include <algorithm>

namespace harkwell {

namespace {

// A leading day stamp: the first eight characters (or the whole shorter name) as a whole number.
bool startsWithNumber(const QString& head)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    return !head.isEmpty() && number.match(head).hasMatch();
}

QString extension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1).toLower();
}

}  // namespace

std::expected<CaptureImport::Recordings, CaptureImport::Failure>
CaptureImport::voiceMemosRecordings(const std::optional<QDateTime>& since, FileSystem& files)
{
    const QString folderPath = CaptureAccess::voiceMemosUrl();
    const auto listing = files.listFolder(folderPath);
    if (!listing)
        return std::unexpected(Failure{folderPath, listing.error().text});

    // The default audio set, whatever the Voice Memos watched folder itself lists.
    const QSet<QString>& audio = CaptureAccess::audioExtensions();
    const QString cutOff = since ? since->toLocalTime().toString(QStringLiteral("yyyyMMdd")) : QString();
    QStringList names;
    for (const FolderEntry& entry : *listing) {
        if (entry.name.startsWith(QLatin1Char('.')) || !audio.contains(extension(entry.name)))
            continue;
        if (since) {
            const QString head = entry.name.left(8);
            if (!startsWithNumber(head) || head < cutOff)
                continue;
        }
        names.append(entry.name);
    }
    std::sort(names.begin(), names.end());

    WatchedFolder folder;
    folder.id = QString::fromLatin1(WatchedFolder::kVoiceMemosId);
    folder.path = folderPath;
    folder.displayName = QStringLiteral("Voice Memos");
    folder.enabled = true;
    folder.normaliser = WatchedFolder::Normaliser::VoiceMemos;
    return Recordings{folder, names};
}

std::expected<CaptureImport::Result, CaptureImport::Failure>
CaptureImport::queueExisting(const std::optional<QDateTime>& since, CaptureStateStore& store, FileSystem& files)
{
    const auto recordings = voiceMemosRecordings(since, files);
    if (!recordings)
        return std::unexpected(recordings.error());
    const QString folderPath = CaptureAccess::voiceMemosUrl();
    if (recordings->names.isEmpty())
        return Result{folderPath, 0, 0};

    const int removed = store.forget(recordings->names, recordings->folder.id);
    HarkwellLog::log(QStringLiteral("[harkwell] capture import: %1 recordings from %2 queued (%3 were marked seen)")
                         .arg(QString::number(recordings->names.size()), folderPath, QString::number(removed)));
    return Result{folderPath, int(recordings->names.size()), removed};
}

}  // namespace harkwell
