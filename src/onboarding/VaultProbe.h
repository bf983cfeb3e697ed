#pragma once
// What detection learns of a vault's folder (that it is there, its canonical path, its markers),
// asked by child processes under a deadline: Obsidian's registry may name a folder on a mount that
// never answers, and a thread that looked itself would wait with it, for ever on a dead mount.
// A folder that has not answered by the deadline is left out, as one that is not there.

#include "platform/childprocess/ProcessRunner.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace harkwell {

class VaultProbe {
public:
    struct Folder {
        QString id;  // the canonical path, or the path itself when it has none
        bool hasNookwiseMarkers = false;
        bool hasOutbox = false;
    };

    // Child processes at work at once.
    static constexpr int kParallelProbes = 4;

    // For each path, in order: its folder, or nothing when nothing is there or it did not answer
    // by `deadline`. Blocks the calling thread until then at most.
    static QList<std::optional<Folder>> probe(const QStringList& paths, std::chrono::steady_clock::time_point deadline,
                                              ProcessRunner& runner);
};

}  // namespace harkwell
