#pragma once
// The file-system search for Obsidian vaults: every folder named ".obsidian" at most six levels
// below each root (symbolic links not followed), whose hits found by the time limit still count.
// Hits inside trash, cache, node_modules, .git and .archive folders are not reported, though the
// search passes through them.
//
// A folder may take any time to open (a dead network mount), so the listing runs in child
// processes killed at the limit, one for each folder directly below a root and a few at a time:
// a folder that hangs costs only what lies below it, not the vaults beside it.

#include <QStringList>

#include <chrono>

namespace harkwell {

class ProcessRunner;

class VaultSearch {
public:
    static constexpr int kMaxDepth = 6;
    static constexpr int kTimeLimitMs = 5'000;
    // Child processes at work at once.
    static constexpr int kParallelListings = 4;

    // Paths of the ".obsidian" folders, root by root, and within a root folder by folder. Blocks
    // the calling thread for up to `limit`, never longer.
    static QStringList obsidianFolders(const QStringList& roots, std::chrono::milliseconds limit,
                                       ProcessRunner& runner);

    // True when a hit at this path is left out.
    static bool isExcluded(const QString& path);
};

}  // namespace harkwell
