#include "vault/RemoteFolders.h"

#include "platform/files/FileNames.h"
#include "platform/syslog/SystemLog.h"
#include "platform/walk/TreeWalk.h"
#include "vault/FileClassifier.h"
#include "vault/FileDates.h"
#include "vault/ListedPaths.h"
#include "vault/StuckMounts.h"

#include <QFile>
#include <QUrl>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace harkwell {

namespace {

// What the mount scans of one call share. A scan still running when the call has stopped waiting
// keeps the state alive and appends to it unread.
struct MountScans {
    std::mutex lock;  // guards every field below
    std::condition_variable finished;
    QList<FileEntry> entries;
    qsizetype running = 0;
};

bool hasIncludedExtension(const QString& path, const QSet<QString>& extensions)
{
    for (const QString& extension : extensions)
        if (path.size() > extension.size() && path.endsWith(extension, Qt::CaseInsensitive)
            && path.at(path.size() - extension.size() - 1) == QLatin1Char('.'))
            return true;
    return false;
}

// find's NUL-separated paths, as bytes; a last path cut off by the kill has no terminator and is dropped.
QList<QByteArray> printedPaths(const QByteArray& output)
{
    QList<QByteArray> paths;
    qsizetype start = 0;
    for (qsizetype end = output.indexOf('\0'); end >= 0; end = output.indexOf('\0', start)) {
        if (end > start)
            paths.append(output.mid(start, end - start));
        start = end + 1;
    }
    return paths;
}

}  // namespace

QList<FileEntry> RemoteFolders::scan(const QString& remotesFolder, const QSet<QString>& includeExtensions)
{
    return scan(remotesFolder, includeExtensions, ProcessRunner::system(), Limits{});
}

QList<FileEntry> RemoteFolders::scan(const QString& remotesFolderAsGiven, const QSet<QString>& includeExtensions,
                                     ProcessRunner& runner, Limits limits)
{
    QString remotesFolder = remotesFolderAsGiven;
    while (remotesFolder.size() > 1 && remotesFolder.endsWith(QLatin1Char('/')))
        remotesFolder.chop(1);
    SystemLog::write(QStringLiteral("[harkwell] scanRemotes starting at %1").arg(remotesFolder));
    const QStringList mounts = TreeWalk::entryNames(remotesFolder).value_or(QStringList());

    auto scans = std::make_shared<MountScans>();
    scans->running = mounts.size();
    for (const QString& mount : mounts) {
        // Own threads, not a shared pool: a frozen mount must not hold up the others.
        std::thread([scans, remotesFolder, mount, includeExtensions, &runner, limits] {
            QList<FileEntry> found = scanMount(remotesFolder, mount, includeExtensions, runner, limits);
            std::lock_guard guard(scans->lock);
            scans->entries.append(std::move(found));
            --scans->running;
            scans->finished.notify_all();
        }).detach();
    }

    QList<FileEntry> entries;
    {
        std::unique_lock guard(scans->lock);
        scans->finished.wait_for(guard, limits.all, [&] { return scans->running == 0; });
        entries = scans->entries;
    }
    SystemLog::write(QStringLiteral("[harkwell] scanRemotes done: %1 files from %2 mounts").arg(entries.size()).arg(mounts.size()));
    return entries;
}

QList<FileEntry> RemoteFolders::scanMount(const QString& remotesFolder, const QString& mount,
                                          const QSet<QString>& includeExtensions, ProcessRunner& runner, Limits limits)
{
    const QString mountPath = remotesFolder + QLatin1Char('/') + mount;
    if (StuckMounts::shared().isStuck(mountPath)) {
        SystemLog::write(QStringLiteral("[harkwell] mount not answering, its last listing still waits: %1").arg(mount));
        return {};
    }
    const auto probe = runner.run({QStringLiteral("ls"), QStringLiteral("--"), mountPath}, limits.probe);
    if (!probe)
        return {};
    if (probe->ending == ProcessRun::Ending::KilledAtLimit) {
        StuckMounts::shared().note(mountPath, *probe);
        SystemLog::write(QStringLiteral("[harkwell] skipping frozen mount: %1").arg(mount));
        return {};
    }
    if (!probe->succeeded())
        return {};

    // -H: a mount that is a symbolic link is scanned at its target; links further down are not followed.
    const auto listing = runner.run({QStringLiteral("find"), QStringLiteral("-H"), mountPath, QStringLiteral("-maxdepth"),
                                     QStringLiteral("5"), QStringLiteral("-not"), QStringLiteral("-name"),
                                     QStringLiteral(".*"), QStringLiteral("-print0")},
                                    limits.scan);
    if (!listing)
        return {};
    if (listing->ending == ProcessRun::Ending::KilledAtLimit) {
        SystemLog::write(QStringLiteral("[harkwell] killing slow mount scan: %1").arg(mount));
        StuckMounts::shared().note(mountPath, *listing);
    }

    QList<FileEntry> entries;
    for (const QByteArray& path : printedPaths(listing->output))
        if (hasIncludedExtension(FileNames::display(path), includeExtensions))
            entries.append(entryFor(path, remotesFolder));
    return entries;
}

FileEntry RemoteFolders::entryFor(const QByteArray& native, const QString& remotesFolder)
{
    const QString path = FileNames::display(native);
    FileEntry entry;
    entry.id = QUuid::createUuid();
    entry.filename = ListedPaths::lastComponent(path).normalized(QString::NormalizationForm_C);
    const QString prefix = remotesFolder + QLatin1Char('/');
    entry.relativePath = path.startsWith(prefix) ? path.mid(prefix.size()) : path;
    entry.parentFolder = ListedPaths::parentName(path);
    const auto classification = FileClassifier::classify(entry.filename, entry.relativePath);
    entry.creationDate = classification.filenameDate.value_or(FileDates::distantPast());
    entry.modificationDate = entry.creationDate;
    entry.size = 0;
    entry.fullPath = FileNames::fileUrl(native);
    entry.source = FileEntry::Source::Workspace;
    entry.filenameDate = classification.filenameDate;
    entry.domain = classification.domain;
    entry.fileType = classification.fileType;
    return entry;
}

}  // namespace harkwell

namespace harkwell {

std::expected<QList<RemoteFolders::FolderItem>, QString> RemoteFolders::listFolder(const QByteArray& folder, ProcessRunner& runner,
                                                                                   std::chrono::milliseconds limit)
{
    const auto listing = runner.run(QList<QByteArray>{"find", folder, "-mindepth", "1", "-maxdepth", "1", "-type", "f",
                                                      "-not", "-name", ".*", "-printf", "%f\\0%T@\\0%B@\\0%s\\0"},
                                    limit, {});
    if (!listing)
        return QList<FolderItem>();
    if (listing->ending == ProcessRun::Ending::KilledAtLimit)
        return std::unexpected(QStringLiteral("The remote mount doesn’t answer."));
    const QList<QByteArray> fields = listing->output.split('\0');
    QList<FolderItem> items;
    for (qsizetype i = 0; i + 3 < fields.size(); i += 4) {
        FolderItem item;
        item.name = fields[i];
        bool valid = false;
        const double seconds = fields[i + 1].toDouble(&valid);
        if (valid)
            item.modified = QDateTime::fromMSecsSinceEpoch(qint64(seconds * 1000));
        // find gives a negative time where the file system keeps no birth time.
        const double born = fields[i + 2].toDouble(&valid);
        if (valid && born > 0)
            item.born = QDateTime::fromMSecsSinceEpoch(qint64(born * 1000));
        item.size = fields[i + 3].toLongLong();
        items.append(item);
    }
    return items;
}

}  // namespace harkwell
