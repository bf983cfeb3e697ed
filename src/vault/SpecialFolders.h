#pragma once
// The vault's folders with lists of their own, whatever the age of their files: "_outbox"
// (delivery folders), "_inbox" (capture notes) and ".handoff". Each file is dated by the date in
// its name, else by the date in the name of its top-level folder, else by its modification time.
// A blocking call for a worker thread; it keeps no state and writes no log lines.

#include "foundation/FileEntry.h"
#include "platform/clock/Clock.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace harkwell {

class SpecialFolders {
public:
    // Every regular file below `folderPath` down to `maxDepth` (1: only the folder's own files),
    // leaving out anything hidden and anything inside a folder named in `excludeNames`, and a
    // README.md directly in the folder. Newest first; files of one date keep the walk's order.
    static QList<FileEntry> scan(const QString& folderPath, const QString& folderName, FileEntry::Source source,
                                 std::optional<int> maxDepth, const QStringList& excludeNames,
                                 Clock& clock = Clock::system());

    static constexpr std::chrono::seconds kLimit{20};
};

}  // namespace harkwell
