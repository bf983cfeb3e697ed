#pragma once
// The listings a refresh of the file scanner fans out to, one call per folder. Each blocks its
// worker thread and returns what it found, or an error when the folder could not be listed at
// all: an empty list is an answer (the files are gone), an error is not. Tests give the scanner
// listings that answer at once, block, fail or never finish.

#include "foundation/FileEntry.h"
#include "vault/ListedFiles.h"
#include "platform/walk/TreeWalk.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

using Listing = std::expected<ListedFiles, WalkError>;

class ScanListers {
public:
    virtual ~ScanListers() = default;

    virtual Listing vault(const QString& vaultPath, const QDateTime& since, const QSet<QString>& includeExtensions,
                          const QStringList& excludeDirs) = 0;
    // `excludeFolders`: folders not entered whatever they are called (the vault, when it lies inside).
    virtual Listing workspace(const QString& folder, const QDateTime& since, const QSet<QString>& includeExtensions,
                              const QStringList& excludeDirs, const QStringList& excludeFolders) = 0;
    virtual Listing remotes(const QString& remotesFolder, const QDateTime& since, const QSet<QString>& includeExtensions,
                            const QStringList& excludeDirs) = 0;
    virtual QList<FileEntry> specialFolder(const QString& folderPath, const QString& folderName,
                                           FileEntry::Source source, std::optional<int> maxDepth,
                                           const QStringList& excludeNames) = 0;
};

}  // namespace harkwell
