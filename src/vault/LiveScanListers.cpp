#include "vault/LiveScanListers.h"

#include "vault/FileScanner.h"
#include "vault/SpotlightScanner.h"

namespace harkwell {

Listing LiveScanListers::vault(const QString& vaultPath, const QDateTime& since, const QSet<QString>& includeExtensions,
                               const QStringList& excludeDirs)
{
    return SpotlightScanner::scanVault(vaultPath, since, includeExtensions, excludeDirs, Clock::system(), &m_vault);
}

Listing LiveScanListers::workspace(const QString& folder, const QDateTime& since, const QSet<QString>& includeExtensions,
                                   const QStringList& excludeDirs, const QStringList& excludeFolders)
{
    const auto memory = workspaceMemory(folder);
    return SpotlightScanner::scanWorkspace(folder, folder, since, includeExtensions, excludeDirs,
                                           FileEntry::Source::Workspace, excludeFolders, Clock::system(), memory.get());
}

Listing LiveScanListers::remotes(const QString& remotesFolder, const QDateTime& since,
                                 const QSet<QString>& includeExtensions, const QStringList& excludeDirs)
{
    // A remotes folder that cannot be read is a failed listing; mounts that answer nothing are not.
    if (const auto names = TreeWalk::entryNames(remotesFolder); !names)
        return std::unexpected(names.error());
    return FileScanner::scanRemotes(remotesFolder, since, includeExtensions, excludeDirs);
}

QList<FileEntry> LiveScanListers::specialFolder(const QString& folderPath, const QString& folderName,
                                                FileEntry::Source source, std::optional<int> maxDepth,
                                                const QStringList& excludeNames)
{
    return FileScanner::scanSpecialFolder(folderPath, folderName, source, maxDepth, excludeNames);
}

qsizetype LiveScanListers::vaultEntriesRebuilt()
{
    std::lock_guard guard(m_vault.busy);
    return m_vault.rebuilt;
}

std::shared_ptr<ListingMemory> LiveScanListers::workspaceMemory(const QString& folder)
{
    std::lock_guard guard(m_lock);
    auto& memory = m_workspaces[folder];
    if (!memory)
        memory = std::make_shared<ListingMemory>();
    return memory;
}

}  // namespace harkwell
