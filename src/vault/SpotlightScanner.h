#pragma once
// The listings of recently changed files: the vault, and each workspace folder. A native walk of
// the folder (it makes no use of a search index), pruning the excluded folder names and leaving
// out hidden paths, each file dated by statx. Blocking calls for a worker thread; they return
// what they found (empty on failure), write only to the system log and keep no state.

#include "foundation/FileEntry.h"
#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>

namespace harkwell {

class SpotlightScanner {
public:
    // The vault's files with an included extension (case as stored, lower-case set) modified at or
    // after `since`, in walk order. Stops at the vault time limit and keeps what it had by then.
    static QList<FileEntry> scanVault(const QString& vaultPath, const QDateTime& since,
                                      const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                      Clock& clock = Clock::system());

    // One workspace folder: the same rules, the modification time as both dates, at most
    // kWorkspaceCap files, the workspace time limit. `relativeTo` is the base of relative paths.
    static QList<FileEntry> scanWorkspace(const QString& path, const QString& relativeTo, const QDateTime& since,
                                          const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                          FileEntry::Source source, Clock& clock = Clock::system());

    // The target of a symbolic link (made absolute against the link's folder), else the path itself.
    static QString resolveSymlink(const QString& path);

    static constexpr std::chrono::seconds kVaultLimit{10};
    static constexpr std::chrono::seconds kWorkspaceLimit{20};
    static constexpr qsizetype kWorkspaceCap = 2000;
};

}  // namespace harkwell
