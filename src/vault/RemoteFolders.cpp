#include "vault/RemoteFolders.h"

#include "platform/syslog/SystemLog.h"
#include "platform/walk/TreeWalk.h"
#include "vault/FileClassifier.h"
#include "vault/FileDates.h"
#include "vault/ListedPaths.h"

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

// find's NUL-separated paths; a last path cut off by the kill has no terminator and is dropped.
QStringList printedPaths(const QByteArray& output)
{
    QStringList paths;
    qsizetype start = 0;
    for (qsizetype end = output.indexOf('\0'); end >= 0; end = output.indexOf('\0', start)) {
        if (end > start)
            paths.append(QFile::decodeName(output.mid(start, end - start)));
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
    const auto probe = runner.run({QStringLiteral("ls"), QStringLiteral("--"), mountPath}, limits.probe);
    if (!probe)
        return {};
    if (probe->ending == ProcessRun::Ending::KilledAtLimit) {
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
    if (listing->ending == ProcessRun::Ending::KilledAtLimit)
        SystemLog::write(QStringLiteral("[harkwell] killing slow mount scan: %1").arg(mount));

    QList<FileEntry> entries;
    for (const QString& path : printedPaths(listing->output))
        if (hasIncludedExtension(path, includeExtensions))
            entries.append(entryFor(path, remotesFolder));
    return entries;
}

FileEntry RemoteFolders::entryFor(const QString& path, const QString& remotesFolder)
{
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
    entry.fullPath = QUrl::fromLocalFile(path);
    entry.source = FileEntry::Source::Workspace;
    entry.filenameDate = classification.filenameDate;
    entry.domain = classification.domain;
    entry.fileType = classification.fileType;
    return entry;
}

}  // namespace harkwell
