#pragma once
// The file scanner's listings of the real folders. Each folder keeps the memory of its last
// listing, so a refresh rebuilds only the entries of files that changed.

#include "vault/ListingMemory.h"
#include "vault/ScanListers.h"

#include <QHash>

#include <memory>
#include <mutex>

namespace harkwell {

class LiveScanListers final : public ScanListers {
public:
    Listing vault(const QString& vaultPath, const QDateTime& since, const QSet<QString>& includeExtensions,
                  const QStringList& excludeDirs) override;
    Listing workspace(const QString& folder, const QDateTime& since, const QSet<QString>& includeExtensions,
                      const QStringList& excludeDirs, const QStringList& excludeFolders) override;
    Listing remotes(const QString& remotesFolder, const QDateTime& since, const QSet<QString>& includeExtensions,
                    const QStringList& excludeDirs) override;
    QList<FileEntry> specialFolder(const QString& folderPath, const QString& folderName, FileEntry::Source source,
                                   std::optional<int> maxDepth, const QStringList& excludeNames) override;

    // Entries the last vault listing had to build anew.
    qsizetype vaultEntriesRebuilt();

private:
    std::shared_ptr<ListingMemory> workspaceMemory(const QString& folder);

    ListingMemory m_vault;
    std::mutex m_lock;  // guards m_workspaces
    QHash<QString, std::shared_ptr<ListingMemory>> m_workspaces;
};

}  // namespace harkwell
