#pragma once
// Lists the files below a local folder the way the vault's listings want them: in one pass,
// without a child process, with each file's modification and (where the file system keeps one)
// birth time from statx. Folders are walked depth first, names in byte order within a folder;
// symbolic links are neither followed nor listed. The deadline is checked before every entry, so
// a slow disk yields the part listed so far instead of a hang.

#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

struct WalkRules {
    // Entries of these names are neither entered nor listed, at any depth below the root.
    QSet<QString> prunedNames;
    // Names beginning with "." are neither entered nor listed.
    bool skipHidden = true;
    // Only files whose name ends in "." and one of these, compared as they stand; none means every file.
    std::optional<QSet<QString>> extensions;
    // Only files modified at or after this moment; invalid means no limit.
    QDateTime modifiedSince;
    // 1 lists only the root's own entries; none means any depth.
    std::optional<int> maxDepth;
    // The walk stops once it has this many files.
    std::optional<qsizetype> maxFiles;
};

struct WalkedFile {
    QString path;          // absolute: the root as given, a slash, then relativePath
    QString relativePath;  // below the root, as the file system spells it
    QDateTime modified;    // UTC
    std::optional<QDateTime> born;  // absent where the file system keeps no birth time
};

struct WalkResult {
    QList<WalkedFile> files;
    bool stoppedAtDeadline = false;
};

struct WalkError {
    QString text;  // user-facing: the folder and the system's reason
};

class TreeWalk {
public:
    // Fails only when the root itself cannot be opened as a folder; an unreadable folder further
    // down is passed over.
    static std::expected<WalkResult, WalkError> walk(const QString& root, const WalkRules& rules, Clock& clock,
                                                     const QDateTime& deadline);

    // The visible names of one folder (no entry beginning with "."), sorted, without looking at
    // the entries themselves: a mount point in the list is never touched, so a frozen one cannot
    // stall the listing.
    static std::expected<QStringList, WalkError> entryNames(const QString& folder);
};

}  // namespace harkwell
