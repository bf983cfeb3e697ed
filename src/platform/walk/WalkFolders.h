#pragma once
// What a folder walk's parts share: how a folder is opened and its names read, which of its
// entries the walk looks at, the files it will list, and how it shares descriptors and processors.
// Any thread.

#include "platform/walk/TreeWalk.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace harkwell::walk {

inline qint64 msecsOf(const struct statx_timestamp& stamp) { return qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1'000'000; }

// A folder changed this recently may change again within the same tick of the file system's
// clock without its time moving, so its names are read again next time.
inline constexpr qint64 kSettledSeconds = 2;

// File systems whose change notices cover every change, made here or not. Network and user-space
// file systems only report what this machine did, so their folders are never taken on trust.
inline bool noticesCoverEverything(int fd)
{
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0)
        return false;
    switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case BTRFS_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case 0x2fc12fc1:  // zfs
    case 0xca451a4e:  // bcachefs
        return true;
    default:
        return false;
    }
}

// Byte order, a name before any longer name it begins.
inline bool nameBefore(QByteArrayView a, QByteArrayView b)
{
    const int order = std::memcmp(a.data(), b.data(), size_t(std::min(a.size(), b.size())));
    return order != 0 ? order < 0 : a.size() < b.size();
}

// The path below the root of `name` in the folder at `relative`.
inline QByteArray childPath(const QByteArray& relative, QByteArrayView name)
{
    QByteArray path = relative;
    if (!path.isEmpty())
        path += '/';
    path += name;
    return path;
}

// The entry type statx found, as a folder gives it; anything neither folder nor file counts as a link.
inline unsigned char entryType(quint16 mode) { return S_ISDIR(mode) ? DT_DIR : S_ISREG(mode) ? DT_REG : DT_LNK; }

struct Entry64 {
    ino64_t inode;
    off64_t offset;
    unsigned short length;
    unsigned char type;
    char name[];
};

// The folder's entries other than "." and "..", in byte order of their names; `fd` stays open.
inline bool readChildren(int fd, QByteArray& names, std::vector<WalkMemory::Child>& children)
{
    names.clear();
    children.clear();
    alignas(8) char buffer[32768];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const Entry64*>(buffer + at);
            at += entry->length;
            const char* name = entry->name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            const size_t size = std::strlen(name);
            if (size > NAME_MAX)
                continue;  // no path can reach it
            WalkMemory::Child child;
            child.nameOffset = quint32(names.size());
            child.nameSize = quint8(size);
            child.type = entry->type;
            children.push_back(child);
            names.append(name, qsizetype(size));
        }
    }
    const char* base = names.constData();
    std::sort(children.begin(), children.end(), [base](const WalkMemory::Child& a, const WalkMemory::Child& b) {
        return nameBefore(QByteArrayView(base + a.nameOffset, a.nameSize), QByteArrayView(base + b.nameOffset, b.nameSize));
    });
    return true;
}

// What a walk knew of a folder's files before reading it again: their times and listings carry
// over to the same names.
inline void carryOver(const WalkMemory::Folder& before, WalkMemory::Folder& after)
{
    auto old = before.children.cbegin();
    for (WalkMemory::Child& child : after.children) {
        const QByteArrayView name = after.name(child);
        while (old != before.children.cend() && nameBefore(before.name(*old), name))
            ++old;
        if (old == before.children.cend())
            return;
        if (before.name(*old) == name && old->type == child.type) {
            child.statted = old->statted;
            child.modifiedMs = old->modifiedMs;
            child.setBorn(old->born());
            child.listedIn = old->listedIn;
            child.listedAt = old->listedAt;
        }
    }
}

// A folder's descriptor, held by the walk while it is inside the folder and by every batch of
// the folder's files still waiting for their times.
struct FolderFd {
    int fd = -1;
    bool owned = true;
    FolderFd(int descriptor, bool owns) : fd(descriptor), owned(owns) {}
    ~FolderFd()
    {
        if (fd >= 0 && owned)
            ::close(fd);
    }
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
};

// The folder `name` in the open folder `parent`, not followed if it is a link.
inline int openIn(int parent, const char* name) { return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

// The folder at `relative` below the open folder `root`, following no link on the way; -1 with
// ENOSYS where the system cannot open a path that way (it is then opened one name at a time).
inline int openBelow(int root, const char* relative)
{
    static std::atomic<bool> unsupported = false;
    if (!unsupported.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, root, relative, &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return int(fd);
        unsupported.store(true, std::memory_order_relaxed);
    }
    errno = ENOSYS;
    return -1;
}

// The process is out of descriptors for a moment: the open is tried again, never passed over.
inline bool isTransient(int code) { return code == EMFILE || code == ENFILE; }
// The folder went away (or became something else) since its parent's names were read.
inline bool isGone(int code) { return code == ENOENT || code == ENOTDIR || code == ELOOP; }

// Paths below the root up to this long are opened in one call and remembered between walks;
// deeper folders are opened one name at a time from the nearest open folder around them.
inline constexpr qsizetype kLongestPath = PATH_MAX - 1;

// How a walk shares its descriptors and processors among its parts.
struct WalkShares {
    int openFolders = 2;     // folders the walk is in that keep their descriptor
    int waitingBatches = 1;  // batches waiting for their times, each holding its folder's
    int readAheadOpen = 1;   // folders read ahead and not yet taken, each holding its own
    int processors = 1;

    static WalkShares of(int budget, int processors)
    {
        WalkShares shares;
        shares.openFolders = std::clamp(budget / 4, 2, 32);
        shares.waitingBatches = std::clamp(budget / 4, 1, 64);
        shares.readAheadOpen = std::clamp(budget / 4, 1, 64);
        shares.processors = std::max(1, processors);
        return shares;
    }
    // Each reader holds up to two descriptors while it opens a folder.
    int mostReaders(int wanted) const { return std::clamp(wanted, 1, std::max(1, (openFolders + readAheadOpen) / 4)); }
};

struct FolderId {
    quint64 device;
    quint64 inode;
    bool operator==(const FolderId&) const = default;
};

// A file the walk will list if its times allow, in the walk's order.
struct PendingFile {
    WalkedFile file;
    WalkMemory::Child* child = nullptr;  // the memory's record of the file, when there is a memory
    quint32 nameAt = 0;                  // where the name begins in file.relative (followed by a NUL)
    bool ask = false;                    // its times are still to be asked of the disk
    bool fresh = false;                  // its times come from the disk, asked by this walk
    bool asked = false;                  // by statx on its own
    bool listed = false;                 // looked at for the walk's list already
    bool found = true;                   // false: the disk gave no regular file
};

// Files of one folder that follow each other in the walk's order, with the folder they are in.
struct Batch {
    std::shared_ptr<FolderFd> folder;  // while some of its files still wait for their times
    PendingFile* files = nullptr;
    size_t count = 0;
};


// The walk's threads hand each other work every few microseconds. Waking a thread that has gone
// to sleep costs the waker more than that on a virtual machine (its processor has to be woken
// through the host), so a thread out of work looks again for a moment before it sleeps, and a
// thread handing work over wakes another only when one sleeps.
template <typename Ready>
inline bool spinUntil(Ready ready)
{
    constexpr auto kSpin = std::chrono::microseconds(200);
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned round = 1;; ++round) {
        if (ready())
            return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (round % 64 == 0 && std::chrono::steady_clock::now() >= until)
            return false;
    }
}

inline void askTimes(int fd, PendingFile& pending)
{
    struct statx info {};
    // Only the times and the type: no other field is worked out, nor a network mount asked afresh.
    pending.found = fd >= 0
                    && ::statx(fd, pending.file.relative.data() + pending.nameAt,
                               AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
                               STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) == 0
                    && S_ISREG(info.stx_mode);
    if (pending.found) {
        pending.file.modifiedMs = msecsOf(info.stx_mtime);
        pending.file.bornMs = (info.stx_mask & STATX_BTIME) ? std::optional(msecsOf(info.stx_btime)) : std::nullopt;
    }
    pending.ask = false;
    pending.fresh = true;
    pending.asked = true;
}

inline void askTimes(Batch& batch)
{
    const int fd = batch.folder ? batch.folder->fd : -1;
    for (size_t index = 0; index < batch.count; ++index)
        if (batch.files[index].ask)
            askTimes(fd, batch.files[index]);
    batch.folder.reset();
}

// Which of a folder's entries the walk looks at, as bytes.
struct Selection {
    bool skipHidden = true;
    std::vector<QByteArray> prunedNames;
    std::optional<std::vector<QByteArray>> extensions;  // each with its "."
    std::optional<int> maxDepth;

    explicit Selection(const WalkRules& rules) : skipHidden(rules.skipHidden), maxDepth(rules.maxDepth)
    {
        for (const QString& name : rules.prunedNames)
            prunedNames.push_back(QFile::encodeName(name));
        if (rules.extensions) {
            extensions.emplace();
            for (const QString& extension : *rules.extensions)
                extensions->push_back('.' + QFile::encodeName(extension));
        }
    }
    // Neither entered nor listed.
    bool passedOver(QByteArrayView name) const
    {
        if (skipHidden && name.startsWith('.'))
            return true;
        return std::any_of(prunedNames.begin(), prunedNames.end(), [name](const QByteArray& pruned) { return name == pruned; });
    }
    bool wanted(QByteArrayView name) const
    {
        const auto ends = [name](const QByteArray& extension) { return name.endsWith(extension); };
        return !extensions || std::any_of(extensions->begin(), extensions->end(), ends);
    }
    // The subfolders of a folder at `depth` are entered.
    bool entersBelow(int depth) const { return !maxDepth || depth < *maxDepth; }
};

}  // namespace harkwell::walk
