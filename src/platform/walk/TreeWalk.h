#pragma once
// Lists the files below a local folder the way the vault's listings want them: in one pass,
// without a child process. The folder's own entry types decide what is entered and what is looked
// at; only the files a listing keeps are stat'ed (statx: the modification time, and the birth time
// where the file system keeps one). Folders are walked depth first, names in byte order within a
// folder; symbolic links are neither followed nor listed. The deadline is checked before every
// entry, so a slow disk yields the part listed so far instead of a hang; a mount point inside the
// tree is read on a thread of its own, so that a frozen mount holds the walk until the deadline at
// most. A large walk asks its files' times and reads the folders ahead of it on a few threads of
// its own (as many as the processors it may run on allow); the order stays the same. Whatever the
// tree's depth, the walk holds a few descriptors, a share of the process's limit.

#include "platform/clock/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace harkwell {

struct WalkRules {
    // Entries of these names are neither entered nor listed, at any depth below the root.
    QSet<QString> prunedNames;
    // Folders that are not entered whatever they are called or however they are reached
    // (compared by device and inode, so a link or another spelling of the path is caught too).
    QStringList prunedFolders;
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
    // Below the root, the bytes the file system holds; they belong to the walk's result.
    QByteArrayView relative;
    qint64 modifiedMs = 0;             // milliseconds since 1970 UTC
    std::optional<qint64> bornMs;      // absent where the file system keeps no birth time
    // With a memory: the file's index in the previous walk's files when it was listed there with
    // the same times, else -1.
    qsizetype previous = -1;

    QString relativePath() const;      // as text, for showing and matching
    QDateTime modified() const { return QDateTime::fromMSecsSinceEpoch(modifiedMs, Qt::UTC); }
};

struct WalkResult {
    std::vector<WalkedFile> files;
    // The files' paths, one after another in a few large blocks: a walk of a large tree leaves
    // no trail of small blocks behind between the ones its memory keeps.
    std::vector<std::unique_ptr<char[]>> pathBlocks;
    bool stoppedAtDeadline = false;
    // Folders that are there but could not be read, each with the system's reason (a folder
    // inside one of them is not named again). With a memory, their entries are the last walk's.
    QStringList unreadable;
    // Every folder reached and read: nothing cut by the deadline, no folder left unread.
    bool complete() const { return !stoppedAtDeadline && unreadable.isEmpty(); }
    qsizetype threadsStarted = 0;  // readers and time askers together
    qsizetype foldersRead = 0;    // folders whose names were read from the disk
    qsizetype foldersReused = 0;  // folders whose names came from the memory
    qsizetype filesStatted = 0;   // files whose times were asked of the disk
};

struct WalkError {
    QString text;  // user-facing: the folder and the system's reason
};

struct ByteArrayHash {
    size_t operator()(const QByteArray& key) const { return qHash(key); }
};

// What one walk saw of each folder, for the next walk of the same root. On a local file system
// every folder read is watched through the kernel's change notices: a folder with no notice since
// is neither read nor opened again, and its files' times are taken as they were. Elsewhere (a
// network mount, or once the system's watches run out) a folder whose modification time has not
// moved keeps its names, and its files are asked for their times again. Not shared between threads.
class WalkMemory {
public:
    WalkMemory();
    ~WalkMemory();
    WalkMemory(const WalkMemory&) = delete;
    WalkMemory& operator=(const WalkMemory&) = delete;

    void clear();
    qsizetype folderCount() const { return qsizetype(m_folders.size()); }

    // The walk's own bookkeeping.
    // One per name in a remembered folder, packed: a large vault has one for every file.
    struct Child {
        quint32 nameOffset = 0;  // in the folder's names
        quint32 listedIn = 0;    // the walk that last listed the file (0: none)
        qint32 listedAt = -1;    // its index in that walk's files
        quint8 nameSize = 0;     // a name is at most NAME_MAX (255) bytes
        unsigned char type = 0;  // the entry type the folder gave (DT_*), or the one statx found
        bool statted = false;    // the times below are the file's as last asked
        bool hasBorn = false;
        qint64 modifiedMs = 0;
        qint64 bornMs = 0;       // with hasBorn

        std::optional<qint64> born() const { return hasBorn ? std::optional(bornMs) : std::nullopt; }
        void setBorn(std::optional<qint64> ms)
        {
            hasBorn = ms.has_value();
            bornMs = ms.value_or(0);
        }
    };
    struct Folder {
        qint64 changeSec = -1;
        qint64 changeNsec = 0;
        QByteArray names;  // the children's names, one after another
        std::vector<Child> children;  // in byte order of their names
        quint64 device = 0;
        quint64 inode = 0;
        int watch = -1;      // the change notice's watch, or -1
        bool dirty = true;   // a notice came since the folder was last read
        bool seen = false;   // by the current walk

        QByteArrayView name(const Child& child) const { return QByteArrayView(names.constData() + child.nameOffset, child.nameSize); }
    };

    // Marks the folders that changed since the last walk.
    void takeNotices();
    // Watches the open folder `fd` for `path`; false when it cannot be watched.
    bool watch(Folder& folder, const QByteArray& path, int fd, quint64 device);
    // The change-notice descriptor, made on first use; -1 when the system gives none.
    int notices();
    // A watch of the open folder `fd` on `notices` (any thread), or -1.
    static int addWatch(int notices, int fd);
    // Takes `watch`, added for the folder at `path`, into the memory.
    void record(Folder& folder, const QByteArray& path, int watch);
    void forget(const QByteArray& path, Folder& folder);

    // Watches added by a walk's readers for folders the walk never took (it stopped first, or a
    // reader was still at work when it ended): taken into the memory by the next walk.
    struct StrayWatches {
        std::mutex lock;  // guards watches
        std::vector<std::pair<QByteArray, int>> watches;  // folder path below the root, watch
    };
    std::shared_ptr<StrayWatches> m_strayWatches;
    // Mount points inside the tree whose reading had not returned when a walk gave up on it,
    // each with whether it still has not: passed over, their entries kept, until it returns.
    std::unordered_map<QByteArray, std::shared_ptr<std::atomic<bool>>, ByteArrayHash> m_unanswered;

    std::unordered_map<QByteArray, Folder, ByteArrayHash> m_folders;  // by path below the root; stable references
    std::unordered_map<int, QByteArray> m_watched;  // watch → folder path
    std::unordered_map<quint64, bool> m_localDevices;  // device → whether its notices can be trusted
    int m_notices = -2;  // the notice descriptor; -2 before the first walk, -1 when there is none
    quint32 m_walks = 0;
    size_t m_lastFiles = 0;  // files the last walk listed
};

class TreeWalk {
public:
    // Fails only when the root itself cannot be opened as a folder; an unreadable folder further
    // down is named in the result, which is then incomplete. With a memory, unchanged folders are not read again and folders gone
    // since the last walk are forgotten.
    static std::expected<WalkResult, WalkError> walk(const QString& root, const WalkRules& rules, Clock& clock,
                                                     const QDateTime& deadline, WalkMemory* memory = nullptr);

    // The visible names of one folder (no entry beginning with "."), sorted, without looking at
    // the entries themselves: a mount point in the list is never touched, so a frozen one cannot
    // stall the listing.
    static std::expected<QStringList, WalkError> entryNames(const QString& folder);
};

}  // namespace harkwell
