#pragma once
// The listings of recently changed files: the vault, and each workspace folder. A native walk of
// the folder (it makes no use of a search index), pruning the excluded folder names and leaving
// out hidden paths, each kept file dated by statx. Blocking calls for a worker thread; they write
// only to the system log. Given a memory, a listing reuses the entries of files that have not
// changed since the last listing of the same folder.

#include "foundation/FileEntry.h"
#include "platform/clock/Clock.h"
#include "platform/walk/TreeWalk.h"
#include "vault/ListedFiles.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <expected>

namespace harkwell {

class ListingMemory;

class SpotlightScanner {
public:
    // The vault's files with an included extension (case as stored, lower-case set) modified at or
    // after `since`, in walk order. Stops at the vault time limit and keeps what it had by then
    // (the log says so), as it does when a folder cannot be read: the listing is then incomplete,
    // unless each such folder was unreadable at the last listing too (its entries kept from then).
    // Fails when the vault cannot be read at all.
    static std::expected<ListedFiles, WalkError> scanVault(const QString& vaultPath, const QDateTime& since,
                                                                const QSet<QString>& includeExtensions,
                                                                const QStringList& excludeDirs,
                                                                Clock& clock = Clock::system(),
                                                                ListingMemory* memory = nullptr);

    // One workspace folder: the same rules, the modification time as both dates, at most
    // kWorkspaceCap files, the workspace time limit; `excludeFolders` are not entered whatever
    // path leads to them (the vault, when it lies inside the folder). `relativeTo` is the base of
    // relative paths.
    static std::expected<ListedFiles, WalkError> scanWorkspace(
        const QString& path, const QString& relativeTo, const QDateTime& since, const QSet<QString>& includeExtensions,
        const QStringList& excludeDirs, FileEntry::Source source, const QStringList& excludeFolders = {},
        Clock& clock = Clock::system(), ListingMemory* memory = nullptr);

    // The target of a symbolic link (made absolute against the link's folder), else the path itself.
    static QString resolveSymlink(const QString& path);

    static constexpr std::chrono::seconds kVaultLimit{10};
    static constexpr std::chrono::seconds kWorkspaceLimit{20};
    static constexpr qsizetype kWorkspaceCap = 2000;
};

}  // namespace harkwell
