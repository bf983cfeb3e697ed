#pragma once
// Notices when the system's change watches have run out under a walk's memory. Each folder the
// memory cannot watch is read again at every walk, and without this each walk would also ask the
// kernel for its watch again and be refused: at rest, a large vault would cost CPU for nothing.
// Once watches have run out the memory stops asking (those folders are re-read as on a network
// disk), and the system log says so once, with the counts and the setting that raises the limit.

#include "platform/walk/TreeWalk.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

namespace harkwell {

class WatchShortage {
public:
    // A new watch of the folder at `path` on `notices`, or -1 with errno set: inotify_add_watch.
    using AddWatch = std::function<int(int notices, const QByteArray& path)>;
    using Log = std::function<void(const QString& line)>;

    // The system's watches and log when left empty.
    explicit WatchShortage(AddWatch addWatch = {}, Log log = {});

    // After a walk of `root` with `memory`, on the walk's thread. When folders that could be
    // watched have no watch, asks for one more: only a refusal for want of watches (ENOSPC) counts.
    // Then the memory asks for no more, the log says so (once for all memories) and it returns true.
    bool check(const QByteArray& root, WalkMemory& memory);

    // The one the listings share.
    static WatchShortage& shared();

private:
    AddWatch m_addWatch;
    Log m_log;
    std::atomic<bool> m_logged{false};
};

}  // namespace harkwell
