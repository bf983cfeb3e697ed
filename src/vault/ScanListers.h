#pragma once
// The listings a refresh of the file scanner fans out to, one call per folder. Each blocks its
// worker thread and returns what it found, empty when it finds nothing or fails. Tests give the
// scanner listings that answer at once, block, or never finish.

#include "foundation/FileEntry.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

class ScanListers {
public:
    virtual ~ScanListers() = default;

    virtual QList<FileEntry> vault(const QString& vaultPath, const QDateTime& since,
                                   const QSet<QString>& includeExtensions, const QStringList& excludeDirs) = 0;
    virtual QList<FileEntry> workspace(const QString& folder, const QDateTime& since,
                                       const QSet<QString>& includeExtensions, const QStringList& excludeDirs) = 0;
    virtual QList<FileEntry> remotes(const QString& remotesFolder, const QDateTime& since,
                                     const QSet<QString>& includeExtensions, const QStringList& excludeDirs) = 0;
    virtual QList<FileEntry> specialFolder(const QString& folderPath, const QString& folderName,
                                           FileEntry::Source source, std::optional<int> maxDepth,
                                           const QStringList& excludeNames) = 0;
};

}  // namespace harkwell
