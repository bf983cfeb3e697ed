#pragma once
// What capture remembers, for this run only, about files in watched folders that it could not take:
// the state each one was last found in (a FIFO, an empty file, one that cannot be read or copied),
// so that a state is said once rather than at every poll, and how many polls it waits before it is
// tried again. The wait doubles with each failure in the same state, from one poll up to an hour's
// worth, and ends as soon as the file's size, modification time or identity changes.

#include "platform/filesystem/FileSystem.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <optional>

namespace harkwell {

class CaptureBackoff {
public:
    enum class Wait {
        BackOff,  // tried again after a doubling number of polls
        None,     // tried again at the next poll (a file still being written): only said once
    };

    // Records that the file was found in `state`, looking as `seen` (nothing when it could not be
    // stat'ed). True when the state is new for the file, so that its line is to be logged.
    bool found(const QString& folderId, const QString& name, const std::optional<FileStat>& seen, const QString& state,
               Wait wait = Wait::BackOff);
    // Whether this poll is to leave the file alone; each call counts as one poll waited. A file
    // that changed since it was recorded is tried at once and its wait starts over.
    bool waits(const QString& folderId, const QString& name, const std::optional<FileStat>& seen);
    // The file went on (taken or passed over): a later failure is a new state again.
    void clear(const QString& folderId, const QString& name);
    // Forgets the files of a folder that are not among `names` (gone from its listing).
    void keepOnly(const QString& folderId, const QSet<QString>& names);

    static constexpr int kFirstWaitPolls = 1;
    static constexpr int kLongestWaitPolls = 120;  // an hour at the coordinator's 30-second poll

private:
    struct Entry {
        std::optional<FileStat> seen;
        QString state;
        int step = 0;       // polls waited after the last failure; 0 once the file changed
        int remaining = 0;  // polls still to wait
    };
    static bool sameFile(const std::optional<FileStat>& a, const std::optional<FileStat>& b);

    mutable QMutex m_lock;  // the watcher asks on the coordinator's queue, the pipeline from its workers
    QHash<QString, QHash<QString, Entry>> m_entries;  // folder id → file name → entry
};

}  // namespace harkwell
