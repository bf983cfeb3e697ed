#include "vault/LiveScanListers.h"

#include "vault/FileScanner.h"
#include "vault/SpotlightScanner.h"

namespace harkwell {

QList<FileEntry> LiveScanListers::vault(const QString& vaultPath, const QDateTime& since,
                                        const QSet<QString>& includeExtensions, const QStringList& excludeDirs)
{
    return SpotlightScanner::scanVault(vaultPath, since, includeExtensions, excludeDirs);
}

QList<FileEntry> LiveScanListers::workspace(const QString& folder, const QDateTime& since,
                                            const QSet<QString>& includeExtensions, const QStringList& excludeDirs)
{
    return FileScanner::scanViaShell(folder, folder, since, includeExtensions, excludeDirs, FileEntry::Source::Workspace);
}

QList<FileEntry> LiveScanListers::remotes(const QString& remotesFolder, const QDateTime& since,
                                          const QSet<QString>& includeExtensions, const QStringList& excludeDirs)
{
    return FileScanner::scanRemotes(remotesFolder, since, includeExtensions, excludeDirs);
}

QList<FileEntry> LiveScanListers::specialFolder(const QString& folderPath, const QString& folderName,
                                                FileEntry::Source source, std::optional<int> maxDepth,
                                                const QStringList& excludeNames)
{
    return FileScanner::scanSpecialFolder(folderPath, folderName, source, maxDepth, excludeNames);
}

}  // namespace harkwell
