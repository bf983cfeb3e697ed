#pragma once
// The folder steps of the migration from Corvale: the support folder (the seen ledger is merged,
// recording work folders move one by one) and the log folder (files renamed "from-…"). Nothing
// that exists in Harkwell's folders is replaced; an old folder goes only once it is empty but for
// a ".DS_Store".

#include <QString>

namespace harkwell {

class MigrationFolders {
public:
    MigrationFolders() = delete;

    static void migrateSupportFolder();
    static void migrateLogs();

    // Moves one file or folder; never replaces what is at `destination`.
    static void move(const QString& source, const QString& destination);
    // Moves each child of `source` that `destination` lacks; `what` names one child in the log.
    static void moveChildren(const QString& source, const QString& destination, const QString& what);
    static void removeIfEmpty(const QString& folder);
    // Moves the old seen ledger, or merges it into Harkwell's when both exist.
    static void moveState(const QString& oldState, const QString& newState);
};

}  // namespace harkwell
