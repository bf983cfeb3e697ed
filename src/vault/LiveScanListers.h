#pragma once
// The file scanner's listings of the real folders.

#include "vault/ScanListers.h"

namespace harkwell {

class LiveScanListers final : public ScanListers {
public:
    QList<FileEntry> vault(const QString& vaultPath, const QDateTime& since, const QSet<QString>& includeExtensions,
                           const QStringList& excludeDirs) override;
    QList<FileEntry> workspace(const QString& folder, const QDateTime& since, const QSet<QString>& includeExtensions,
                               const QStringList& excludeDirs) override;
    QList<FileEntry> remotes(const QString& remotesFolder, const QDateTime& since,
                             const QSet<QString>& includeExtensions, const QStringList& excludeDirs) override;
    QList<FileEntry> specialFolder(const QString& folderPath, const QString& folderName, FileEntry::Source source,
                                   std::optional<int> maxDepth, const QStringList& excludeNames) override;
};

}  // namespace harkwell
