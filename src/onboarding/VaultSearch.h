#pragma once
// The file-system search for Obsidian vaults: every folder named ".obsidian" at most six levels
// below each root, walked natively (symbolic links not followed) and cut off at a deadline, whose
// hits found by then still count. Hits inside trash, cache, node_modules, .git and .archive
// folders are not reported, though the walk passes through them.

#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QStringList>

namespace harkwell {

class VaultSearch {
public:
    static constexpr int kMaxDepth = 6;
    static constexpr int kTimeLimitMs = 5'000;

    // Paths of the ".obsidian" folders, root by root, each root's in walk order.
    static QStringList obsidianFolders(const QStringList& roots, const QDateTime& deadline,
                                       const Clock& clock = Clock::system());

    // True when a hit at this path is left out.
    static bool isExcluded(const QString& path);
};

}  // namespace harkwell
