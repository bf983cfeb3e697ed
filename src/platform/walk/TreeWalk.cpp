#include "platform/walk/TreeWalk.h"

#include "platform/files/FileNames.h"
#include "platform/memory/LargePages.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace harkwell {

namespace {

WalkError walkError(const QString& folder, int code)
{
    return WalkError{QStringLiteral("Could not read the folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(code)))};
}

qint64 msecsOf(const struct statx_timestamp& stamp) { return qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1'000'000; }

// A folder changed this recently may change again within the same tick of the file system's
// clock without its time moving, so its names are read again next time.
constexpr qint64 kSettledSeconds = 2;

// What makes a watched folder's notice: any change to its names or to a file's content or times.
constexpr quint32 kNoticeMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE
                                | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose change notices cover every change, made here or not. Network and user-space
// file systems only report what this machine did, so their folders are never taken on trust.
bool noticesCoverEverything(int fd)
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
bool nameBefore(QByteArrayView a, QByteArrayView b)
{
    const int order = std::memcmp(a.data(), b.data(), size_t(std::min(a.size(), b.size())));
    return order != 0 ? order < 0 : a.size() < b.size();
}

// The path below the root of `name` in the folder at `relative`.
QByteArray childPath(const QByteArray& relative, QByteArrayView name)
{
    QByteArray path = relative;
    if (!path.isEmpty())
        path += '/';
    path += name;
    return path;
}

// The entry type statx found, as a folder gives it; anything neither folder nor file counts as a link.
unsigned char entryType(quint16 mode) { return S_ISDIR(mode) ? DT_DIR : S_ISREG(mode) ? DT_REG : DT_LNK; }

struct Entry64 {
    ino64_t inode;
    off64_t offset;
    unsigned short length;
    unsigned char type;
    char name[];
};

// The folder's entries other than "." and "..", in byte order of their names; `fd` stays open.
bool readChildren(int fd, QByteArray& names, std::vector<WalkMemory::Child>& children)
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
void carryOver(const WalkMemory::Folder& before, WalkMemory::Folder& after)
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

// A folder opened only when something in it has to be asked of the disk.
class Dir {
public:
    Dir(Dir* parent, QByteArrayView name) : m_parent(parent), m_name(name) {}
    explicit Dir(int fd) : m_handle(std::make_shared<FolderFd>(fd, true)) {}

    int fd()
    {
        if (!m_handle && !m_failed && m_parent) {
            const int parent = m_parent->fd();
            const QByteArray name = m_name.toByteArray();
            const int fd = parent < 0 ? -1 : ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            m_failed = fd < 0;
            if (!m_failed)
                m_handle = std::make_shared<FolderFd>(fd, true);
        }
        return m_handle ? m_handle->fd : -1;
    }
    // The open folder, for batches that ask their files' times after the walk has left it.
    std::shared_ptr<FolderFd> handle()
    {
        fd();
        return m_handle;
    }
    // The folder as a reader ahead of the walk opened it.
    void adopt(std::shared_ptr<FolderFd> handle) { m_handle = std::move(handle); }

private:
    Dir* m_parent = nullptr;
    QByteArrayView m_name;
    std::shared_ptr<FolderFd> m_handle;
    bool m_failed = false;
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

// A walk's own blocks start small, for the usual vault, and each is twice the last up to this size,
// so that a large tree takes a few large blocks, which the system can back by large pages.
constexpr size_t kLargestBlock = 8 * 1024 * 1024;

// Items kept in blocks that never move, so that a growing list hands out lasting pointers and takes
// a few large blocks rather than one small block per item. An item is made when it is added, so a
// block's pages are first touched as it fills, not all at once when it is taken.
template <typename T, size_t First>
class Blocks {
public:
    Blocks() = default;
    Blocks(const Blocks&) = delete;
    Blocks& operator=(const Blocks&) = delete;
    ~Blocks()
    {
        for (size_t block = 0; block < m_blocks.size(); ++block) {
            std::destroy_n(m_blocks[block].items, used(block));
            std::allocator<T>().deallocate(m_blocks[block].items, m_blocks[block].capacity);
        }
    }

    bool full() const { return m_blocks.empty() || m_used == m_blocks.back().capacity; }
    size_t size() const { return m_size; }
    T& add()
    {
        if (full())
            grow();
        T* const item = std::construct_at(m_blocks.back().items + m_used);
        ++m_used;
        ++m_size;
        return *item;
    }
    template <typename Visit>
    void forEach(Visit visit)
    {
        for (size_t block = 0; block < m_blocks.size(); ++block)
            for (size_t index = 0, end = used(block); index < end; ++index)
                if (!visit(m_blocks[block].items[index]))
                    return;
    }

private:
    struct Block {
        T* items;
        size_t capacity;
    };

    size_t used(size_t block) const { return block + 1 == m_blocks.size() ? m_used : m_blocks[block].capacity; }
    void grow()
    {
        const size_t capacity = m_blocks.empty() ? First
                                                 : std::max(m_blocks.back().capacity,
                                                            std::min(m_blocks.back().capacity * 2, kLargestBlock / sizeof(T)));
        m_blocks.reserve(m_blocks.size() + 1);
        T* const items = std::allocator<T>().allocate(capacity);
        LargePages::prefer(items, capacity * sizeof(T));
        m_blocks.push_back({items, capacity});
        m_used = 0;
    }

    std::vector<Block> m_blocks;
    size_t m_used = 0;
    size_t m_size = 0;
};

// Paths one after another, each followed by a NUL, in blocks that never move.
class PathStore {
public:
    // Room for `size` bytes and a NUL.
    char* reserve(size_t size)
    {
        if (m_blocks.empty() || m_used + size + 1 > m_size) {
            m_size = std::max(m_blocks.empty() ? kFirstBlock : std::min(m_size * 2, kLargestBlock), size + 1);
            m_blocks.push_back(std::make_unique_for_overwrite<char[]>(m_size));
            LargePages::prefer(m_blocks.back().get(), m_size);
            m_used = 0;
        }
        char* at = m_blocks.back().get() + m_used;
        m_used += size + 1;
        at[size] = '\0';
        return at;
    }
    std::vector<std::unique_ptr<char[]>> take() { return std::move(m_blocks); }

private:
    static constexpr size_t kFirstBlock = 512 * 1024;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    size_t m_used = 0;
    size_t m_size = 0;
};

// The walk's threads hand each other work every few microseconds. Waking a thread that has gone
// to sleep costs the waker more than that on a virtual machine (its processor has to be woken
// through the host), so a thread out of work looks again for a moment before it sleeps, and a
// thread handing work over wakes another only when one sleeps.
template <typename Ready>
bool spinUntil(Ready ready)
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

void askTimes(int fd, PendingFile& pending)
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

void askTimes(Batch& batch)
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

// Asks files' times on a few threads of its own while the walk reads on, since on most disks one
// thread spends far longer waiting on statx than on reading folders. A walk that asks only a few
// files' times never starts them.
class TimeAskers {
public:
    TimeAskers() = default;
    ~TimeAskers() { finish(); }
    TimeAskers(const TimeAskers&) = delete;
    TimeAskers& operator=(const TimeAskers&) = delete;

    bool running() const { return !m_threads.empty(); }

    // False when no thread could be started: the walk then asks by itself.
    bool start()
    {
        const int count = std::clamp(int(std::thread::hardware_concurrency()) - 1, 1, kMostThreads);
        try {
            for (int index = 0; index < count; ++index)
                m_threads.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // As many as could be had; none means the walk asks by itself.
        }
        return running();
    }

    // Past a few waiting batches the walk asks for the oldest itself, so that no more than a
    // handful of folders are held open.
    void post(Batch* batch)
    {
        Batch* own = nullptr;
        bool wake = false;
        {
            std::lock_guard guard(m_lock);
            m_jobs.push_back(batch);
            if (m_jobs.size() > kMostWaiting) {
                own = m_jobs.front();
                m_jobs.pop_front();
            }
            m_queued.store(m_jobs.size(), std::memory_order_release);
            wake = m_sleeping > 0;
        }
        if (wake)
            m_wake.notify_one();
        if (own)
            askTimes(*own);
    }

    // Every batch posted has its times once this returns.
    void finish()
    {
        if (m_threads.empty())
            return;
        {
            std::lock_guard guard(m_lock);
            m_closed = true;
            m_closing.store(true, std::memory_order_release);
        }
        m_wake.notify_all();
        while (Batch* batch = next(false))
            askTimes(*batch);
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }

private:
    static constexpr int kMostThreads = 4;
    static constexpr size_t kMostWaiting = 64;

    Batch* next(bool wait)
    {
        if (wait)
            spinUntil([this] {
                return m_queued.load(std::memory_order_acquire) > 0 || m_closing.load(std::memory_order_acquire);
            });
        std::unique_lock lock(m_lock);
        if (wait) {
            ++m_sleeping;
            m_wake.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
            --m_sleeping;
        }
        if (m_jobs.empty())
            return nullptr;
        Batch* batch = m_jobs.front();
        m_jobs.pop_front();
        m_queued.store(m_jobs.size(), std::memory_order_release);
        return batch;
    }

    void work()
    {
        while (Batch* batch = next(true))
            askTimes(*batch);
    }

    std::mutex m_lock;  // guards m_jobs, m_closed and m_sleeping
    std::condition_variable m_wake;
    std::deque<Batch*> m_jobs;
    bool m_closed = false;
    int m_sleeping = 0;
    // Copies of the queue's length and of m_closed, for a look without the lock.
    std::atomic<size_t> m_queued = 0;
    std::atomic<bool> m_closing = false;
    std::vector<std::thread> m_threads;
};

// Folders read ahead of the walk on a few threads of their own: opened, their own times asked,
// watched for changes when the walk wants that, and their names read, in that order, so that a
// change made while the names are read is still noticed next time. The walk takes what was read
// when it reaches the folder, waits for one being read, and reads one not yet begun itself. The
// folder asked for last is read first: the walk goes depth first, and asks for a folder's
// subfolders when it has read the folder (on a first walk the readers ask for them themselves).
// The readers are never waited for once the walk is over, so that one stuck on a folder the walk
// never reached (a frozen mount) holds nothing up.
class ReadAhead {
public:
    struct Request {
        std::shared_ptr<FolderFd> parent;
        QByteArray name;
        bool wantSelf = false;   // the folder's own times and inode
        bool wantWatch = false;  // a change watch, when its file system's notices can be trusted
        int depth = 0;           // the folder's, the root's being 1
    };
    // Folders by their path below the root.
    using Requests = std::vector<std::pair<QByteArray, Request>>;
    struct Folder {
        bool opened = false;
        // The open folder; none once its readers have done everything the walk needs of it.
        std::shared_ptr<FolderFd> handle;
        // Its files' times were asked and its subfolders read on, as far as the walk goes.
        bool timesAsked = false;
        bool known = false;                // `self` holds its own times and inode
        struct statx self {};
        bool watchTried = false;           // the watch was looked at, whatever came of it
        bool local = false;                // its file system's notices cover every change
        int watch = -1;
        bool read = false;                 // `names` holds its names
        WalkMemory::Folder names;
    };

    ReadAhead() = default;
    ~ReadAhead() { stop(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool running() const { return m_shared != nullptr; }

    // `notices` is the change-notice descriptor (or -1), used on a duplicate of the readers' own;
    // folders with an id in `pruned` are neither watched nor read. With `deep`, the readers also
    // ask the times of the files it wants and go on into the subfolders it enters, without
    // waiting for the walk to reach a folder: a first walk has nothing to take from a memory.
    void start(int notices, std::unordered_map<quint64, bool> localDevices, std::vector<FolderId> pruned,
               std::optional<Selection> deep)
    {
        auto shared = std::make_shared<Shared>();
        shared->notices = notices >= 0 ? ::fcntl(notices, F_DUPFD_CLOEXEC, 0) : -1;
        shared->localDevices = std::move(localDevices);
        shared->pruned = std::move(pruned);
        shared->deep = std::move(deep);
        const int processors = int(std::thread::hardware_concurrency());
        const int count = shared->deep ? std::clamp(processors - 1, 1, kMostDeepThreads)
                                       : std::clamp(processors / 2 - 1, 1, kMostThreads);
        int started = 0;
        try {
            for (; started < count; ++started)
                std::thread([shared] { shared->work(); }).detach();
        } catch (const std::system_error&) {
            // As many as could be had; none means the walk reads every folder by itself.
        }
        if (started > 0)
            m_shared = std::move(shared);
    }

    // `requests` in the order the walk will reach them.
    void ask(Requests requests)
    {
        Shared& shared = *m_shared;
        bool wake = false;
        {
            std::lock_guard guard(shared.lock);
            shared.push(requests);
            wake = shared.sleeping > 0;
        }
        if (wake)
            shared.wake.notify_all();
    }

    // What was read of the folder; nothing when it was not asked for or not yet begun (it never
    // will be then).
    std::optional<Folder> take(const QByteArray& relative)
    {
        Shared& shared = *m_shared;
        std::unique_lock lock(shared.lock);
        const auto found = shared.asked.find(relative);
        if (found == shared.asked.end())
            return std::nullopt;
        const std::shared_ptr<Slot> slot = found->second;
        shared.asked.erase(found);
        if (slot->state == State::Waiting) {
            slot->state = State::Taken;
            return std::nullopt;
        }
        if (slot->state != State::Done) {
            lock.unlock();
            spinUntil([&slot] { return slot->state.load(std::memory_order_acquire) == State::Done; });
            lock.lock();
            shared.walkerWaits = true;
            shared.done.wait(lock, [&slot] { return slot->state == State::Done; });
            shared.walkerWaits = false;
        }
        slot->state = State::Taken;
        // A reader may be waiting only for a descriptor to be let go.
        const bool freed = slot->holdsOpen;
        if (freed) {
            slot->holdsOpen = false;
            --shared.open;
        }
        shared.publish();
        const bool wake = freed && shared.sleeping > 0;
        lock.unlock();
        if (wake)
            shared.wake.notify_one();
        return std::move(slot->result);
    }

    void stop()
    {
        if (!m_shared)
            return;
        {
            std::lock_guard guard(m_shared->lock);
            m_shared->closed = true;
            m_shared->asked.clear();
            m_shared->stack.clear();
            m_shared->publish();
        }
        m_shared->wake.notify_all();
        m_shared.reset();
    }

private:
    enum class State { Waiting, Reading, Done, Taken };
    struct Slot {
        Request request;
        std::atomic<State> state = State::Waiting;  // changed under the shared lock
        bool holdsOpen = false;  // counted among the open folders
        QByteArray path;         // below the root
        Folder result;
    };
    static constexpr int kMostThreads = 3;
    static constexpr int kMostDeepThreads = 8;
    // Folders being read or read and not yet taken hold a descriptor each; past this many the
    // readers wait.
    static constexpr int kMostOpen = 64;

    // What the walk and its readers share; the last reader to end lets it go.
    struct Shared {
        std::mutex lock;  // guards every field below up to `workable`
        std::condition_variable wake;  // for the readers
        std::condition_variable done;  // for the walk
        std::unordered_map<QByteArray, std::shared_ptr<Slot>, ByteArrayHash> asked;  // by path below the root
        std::vector<std::shared_ptr<Slot>> stack;  // the last asked for on top
        std::unordered_map<quint64, bool> localDevices;
        int open = 0;
        bool closed = false;
        int sleeping = 0;          // readers waiting for work
        bool walkerWaits = false;  // the walk waits for a folder being read
        // Whether a reader would find work, for a look without the lock; set by publish() with
        // every change to `stack`, `open` or `closed`.
        std::atomic<bool> workable = false;
        // Set before the readers start.
        int notices = -1;  // the readers' own duplicate
        std::vector<FolderId> pruned;
        std::optional<Selection> deep;

        void publish() { workable.store(closed || (!stack.empty() && open < kMostOpen), std::memory_order_release); }

        // `requests` in the order the walk will reach them, so that the first is read first.
        void push(Requests& requests)
        {
            for (auto request = requests.rbegin(); request != requests.rend(); ++request) {
                auto slot = std::make_shared<Slot>();
                slot->request = std::move(request->second);
                slot->path = request->first;
                asked[request->first] = slot;
                stack.push_back(std::move(slot));
            }
            publish();
        }

        ~Shared()
        {
            if (notices >= 0)
                ::close(notices);
        }

        void work()
        {
            for (;;) {
                std::shared_ptr<Slot> slot;
                spinUntil([this] { return workable.load(std::memory_order_acquire); });
                {
                    std::unique_lock guard(lock);
                    ++sleeping;
                    wake.wait(guard, [this] { return closed || (!stack.empty() && open < kMostOpen); });
                    --sleeping;
                    if (closed)
                        return;
                    slot = std::move(stack.back());
                    stack.pop_back();
                    if (slot->state == State::Waiting) {
                        slot->state = State::Reading;
                        slot->holdsOpen = true;
                        ++open;
                    }
                    publish();
                    if (slot->state != State::Reading)
                        continue;  // the walk got there first
                }
                read(slot->request, slot->result);
                Requests below;
                if (deep && slot->result.read)
                    readOn(slot->path, slot->request, slot->result, below);
                bool wakeWalker = false;
                bool wakeReaders = false;
                {
                    std::lock_guard guard(lock);
                    slot->state = State::Done;
                    if (deep && slot->holdsOpen && !slot->result.handle) {
                        slot->holdsOpen = false;
                        --open;
                    }
                    if (!below.empty() && !closed) {
                        push(below);
                        wakeReaders = sleeping > 0;
                    } else {
                        publish();
                    }
                    wakeWalker = walkerWaits;
                }
                if (wakeReaders)
                    wake.notify_all();
                if (wakeWalker)
                    done.notify_all();
            }
        }

        void read(const Request& request, Folder& result)
        {
            const int fd = ::openat(request.parent->fd, request.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                return;
            result.opened = true;
            result.handle = std::make_shared<FolderFd>(fd, true);
            if (request.wantSelf)
                result.known = ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MTIME | STATX_INO, &result.self) == 0;
            if (result.known) {
                const FolderId id{quint64(makedev(result.self.stx_dev_major, result.self.stx_dev_minor)),
                                  quint64(result.self.stx_ino)};
                if (std::find(pruned.begin(), pruned.end(), id) != pruned.end())
                    return;  // the walk leaves it alone
                if (request.wantWatch && notices >= 0) {
                    result.watchTried = true;
                    result.local = isLocal(id.device, fd);
                    if (result.local)
                        result.watch = WalkMemory::addWatch(notices, fd);
                }
            }
            result.read = readChildren(fd, result.names.names, result.names.children);
        }

        // Asks the times of the folder's wanted files, and which of its entries of no given type
        // are folders; `below` gets the subfolders the walk enters, to be read next. The folder's
        // descriptor then stays open only for those.
        void readOn(const QByteArray& path, const Request& request, Folder& result, Requests& below)
        {
            const int fd = result.handle->fd;
            WalkMemory::Folder& folder = result.names;
            for (WalkMemory::Child& child : folder.children) {
                const QByteArrayView name = folder.name(child);
                if (deep->passedOver(name))
                    continue;
                char own[NAME_MAX + 1];
                std::memcpy(own, name.data(), size_t(name.size()));
                own[name.size()] = '\0';
                struct statx info {};
                if (child.type == DT_UNKNOWN) {
                    if (::statx(fd, own, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) != 0)
                        continue;  // left for the walk to try
                    child.type = entryType(info.stx_mode);
                    if (child.type == DT_REG)
                        keepTimes(child, info);
                } else if (child.type == DT_REG && deep->wanted(name)) {
                    if (::statx(fd, own, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
                                STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) != 0)
                        continue;  // the walk asks again, and finds it gone
                    if (S_ISREG(info.stx_mode))
                        keepTimes(child, info);
                    else
                        child.type = entryType(info.stx_mode);
                }
                if (child.type != DT_DIR || !deep->entersBelow(request.depth))
                    continue;
                below.emplace_back(childPath(path, name), Request{result.handle, name.toByteArray(), request.wantSelf,
                                                                  request.wantWatch, request.depth + 1});
            }
            result.timesAsked = true;
            result.handle.reset();
        }

        static void keepTimes(WalkMemory::Child& child, const struct statx& info)
        {
            child.statted = true;
            child.modifiedMs = msecsOf(info.stx_mtime);
            child.setBorn((info.stx_mask & STATX_BTIME) ? std::optional(msecsOf(info.stx_btime)) : std::nullopt);
        }

        bool isLocal(quint64 device, int fd)
        {
            {
                std::lock_guard guard(lock);
                if (const auto known = localDevices.find(device); known != localDevices.end())
                    return known->second;
            }
            const bool local = noticesCoverEverything(fd);
            std::lock_guard guard(lock);
            localDevices.emplace(device, local);
            return local;
        }
    };

    std::shared_ptr<Shared> m_shared;  // while readers run
};

class Walker {
public:
    Walker(const WalkRules& rules, Clock& clock, const QDateTime& deadline, WalkMemory* memory)
        : m_rules(rules), m_selection(rules), m_clock(clock), m_memory(memory)
    {
        m_deadlineMs = deadline.isValid() ? std::optional(deadline.toMSecsSinceEpoch()) : std::nullopt;
        m_sinceMs = rules.modifiedSince.isValid() ? std::optional(rules.modifiedSince.toMSecsSinceEpoch()) : std::nullopt;
        if (memory) {
            m_startSec = clock.msecsSinceEpoch() / 1000;
            m_previousWalk = memory->m_walks;
            m_firstWalk = memory->m_folders.empty();
            m_thisWalk = ++memory->m_walks;
            reserveFiles(memory->m_lastFiles);
        }
        for (const QString& folder : rules.prunedFolders) {
            struct stat info {};
            if (::stat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode))
                m_prunedFolders.push_back({quint64(info.st_dev), quint64(info.st_ino)});
        }
        // A capped walk stops at its cap, which it knows only by asking each file in turn.
        m_mayAskAside = !rules.maxFiles;
    }

    // `relative` is the folder's path below the root ("" for the root).
    void walkFolder(Dir& dir, const QByteArray& relative, int depth)
    {
        WalkMemory::Folder* remembered = nullptr;
        if (m_memory) {
            remembered = &m_memory->m_folders[relative];
            remembered->seen = true;
            if (remembered->watch >= 0 && !remembered->dirty) {
                if (isPruned({remembered->device, remembered->inode}))
                    return;
                ++m_result.foldersReused;
                visitChildren(dir, relative, depth, *remembered, true, false);
                return;
            }
        }

        std::optional<ReadAhead::Folder> ahead = m_readAhead.running() ? m_readAhead.take(relative) : std::nullopt;
        if (ahead) {
            if (!ahead->opened)
                return;
            dir.adopt(ahead->handle);
        }
        // A folder read ahead is opened again only if something in it is left to ask.
        const int fd = ahead ? -1 : dir.fd();
        if (!ahead && fd < 0)
            return;
        const bool fresh = ahead && ahead->timesAsked;
        struct statx self {};
        bool known = false;
        if (ahead) {
            known = ahead->known;
            self = ahead->self;
        } else {
            known = (remembered || !m_prunedFolders.empty())
                    && ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MTIME | STATX_INO, &self) == 0;
        }
        const FolderId id{known ? quint64(makedev(self.stx_dev_major, self.stx_dev_minor)) : 0, known ? quint64(self.stx_ino) : 0};
        if (known && isPruned(id))
            return;
        // The folder's names as read ahead, or read now.
        const auto readNames = [&](WalkMemory::Folder& read) {
            if (ahead) {
                read = std::move(ahead->names);
                return ahead->read;
            }
            noteReadHere();
            return readChildren(fd, read.names, read.children);
        };
        if (!remembered) {
            WalkMemory::Folder read;
            if (!readNames(read))
                return;
            ++m_result.foldersRead;
            if (!fresh)
                readAheadOf(dir, relative, depth, read);
            visitChildren(dir, relative, depth, read, false, fresh);
            return;
        }

        remembered->device = id.device;
        remembered->inode = id.inode;
        // Watched before it is read, so that a change made meanwhile is noticed next time (a
        // reader ahead of the walk did the same, in the same order).
        if (ahead && ahead->watchTried) {
            m_memory->m_localDevices.emplace(id.device, ahead->local);
            if (ahead->watch >= 0)
                m_memory->record(*remembered, relative, ahead->watch);
        } else if (known && m_memory->notices() >= 0) {
            m_memory->watch(*remembered, relative, dir.fd(), id.device);
        }
        remembered->dirty = false;
        const bool sameNames =
            known && remembered->changeSec == self.stx_mtime.tv_sec && remembered->changeNsec == self.stx_mtime.tv_nsec;
        if (sameNames) {
            ++m_result.foldersReused;
        } else {
            WalkMemory::Folder read;
            if (!readNames(read)) {
                remembered->dirty = true;
                return;
            }
            ++m_result.foldersRead;
            carryOver(*remembered, read);
            if (ahead) {
                // Kept in this thread's heap, next to the other folders' names, rather than among
                // a reader's blocks: every later walk goes through all of them.
                remembered->names = QByteArray(read.names.constData(), read.names.size());
                remembered->children.assign(read.children.begin(), read.children.end());
            } else {
                remembered->names = std::move(read.names);
                remembered->children = std::move(read.children);
            }
            const bool settled = known && self.stx_mtime.tv_sec + kSettledSeconds < m_startSec;
            remembered->changeSec = settled ? self.stx_mtime.tv_sec : -1;
            remembered->changeNsec = self.stx_mtime.tv_nsec;
            // A folder that changed a moment ago may still be changing under a notice that has
            // already been taken; it is read again next time.
            if (!settled)
                remembered->dirty = true;
            if (!fresh)
                readAheadOf(dir, relative, depth, *remembered);
        }
        // Read because it changed or is not watched: its files are asked for their times.
        visitChildren(dir, relative, depth, *remembered, false, fresh && !sameNames);
    }

    // The files in the walk's order, once every time asked for has come.
    WalkResult take()
    {
        m_askers.finish();
        reserveFiles(m_pending.size());
        m_pending.forEach([this](PendingFile& pending) {
            if (m_rules.maxFiles && qsizetype(m_result.files.size()) >= *m_rules.maxFiles)
                return false;
            list(pending);
            return true;
        });
        m_result.pathBlocks = m_paths.take();
        return std::move(m_result);
    }

private:
    // `trusted`: the remembered times of the folder's files stand; `fresh`: the times the folder
    // holds were asked by this walk's readers.
    void visitChildren(Dir& dir, const QByteArray& relative, int depth, WalkMemory::Folder& folder, bool trusted, bool fresh)
    {
        m_frames.push_back({&dir, &relative, depth, &folder, 0});
        for (WalkMemory::Child& child : folder.children) {
            if (m_done)
                break;
            if (m_deadlineMs && m_clock.msecsSinceEpoch() >= *m_deadlineMs) {
                m_result.stoppedAtDeadline = true;
                m_done = true;
                break;
            }
            visit(dir, relative, depth, folder.name(child), child, trusted, fresh);
            ++m_frames.back().next;
        }
        m_frames.pop_back();
        closeBatch();
    }

    void visit(Dir& dir, const QByteArray& relative, int depth, QByteArrayView name, WalkMemory::Child& child, bool trusted,
               bool fresh)
    {
        if (m_selection.passedOver(name))
            return;

        struct statx info {};
        bool statted = false;
        if (child.type == DT_UNKNOWN) {
            if (!statChild(dir, name, info))
                return;
            statted = true;
            child.type = entryType(info.stx_mode);
        }

        if (child.type == DT_DIR) {
            if (!m_selection.entersBelow(depth))
                return;
            const QByteArray path = childPath(relative, name);
            closeBatch();
            Dir sub(&dir, name);
            walkFolder(sub, path, depth + 1);
            return;
        }
        if (child.type != DT_REG || !m_selection.wanted(name))
            return;

        // A batch's files lie in one block.
        if (m_pending.full())
            closeBatch();
        PendingFile& pending = m_pending.add();
        if (m_memory)
            pending.child = &child;
        const qsizetype nameAt = relative.isEmpty() ? 0 : relative.size() + 1;
        char* const path = m_paths.reserve(size_t(nameAt + name.size()));
        if (nameAt > 0) {
            std::memcpy(path, relative.constData(), size_t(relative.size()));
            path[relative.size()] = '/';
        }
        std::memcpy(path + nameAt, name.data(), size_t(name.size()));
        pending.nameAt = quint32(nameAt);
        pending.file.relative = QByteArrayView(path, nameAt + name.size());
        if (statted) {
            pending.fresh = true;
            pending.found = S_ISREG(info.stx_mode);
            pending.file.modifiedMs = msecsOf(info.stx_mtime);
            pending.file.bornMs = (info.stx_mask & STATX_BTIME) ? std::optional(msecsOf(info.stx_btime)) : std::nullopt;
        } else if ((trusted || fresh) && child.statted) {
            pending.file.modifiedMs = child.modifiedMs;
            pending.file.bornMs = child.born();
            pending.fresh = fresh;
            pending.asked = fresh;
        } else {
            pending.ask = true;
        }

        Batch& batch = openBatch(pending);
        ++batch.count;
        if (pending.ask) {
            if (!batch.folder)
                batch.folder = dir.handle();
            if (!batch.folder) {
                pending.ask = false;
                pending.found = false;
                return;
            }
            if (!m_askers.running()) {
                askTimes(batch.folder->fd, pending);
                ++m_askedHere;
                if (m_mayAskAside && m_askedHere == kAskedBeforeThreads)
                    m_mayAskAside = m_askers.start();
            } else {
                m_batchAsks = true;
            }
        }
        // A capped walk lists as it goes, so that it stops at its cap.
        if (m_rules.maxFiles) {
            list(pending);
            if (qsizetype(m_result.files.size()) >= *m_rules.maxFiles)
                m_done = true;
        }
    }

    Batch& openBatch(PendingFile& first)
    {
        if (!m_openBatch) {
            m_openBatch = &m_batches.add();
            m_openBatch->files = &first;
            m_batchAsks = false;
        }
        return *m_openBatch;
    }

    // Its files' times are asked aside, the folder it needs travelling with it.
    void closeBatch()
    {
        if (!m_openBatch)
            return;
        if (m_batchAsks)
            m_askers.post(m_openBatch);
        else
            m_openBatch->folder.reset();
        m_openBatch = nullptr;
        m_batchAsks = false;
    }

    // Lists the file when the disk gave its times and they are recent enough.
    void list(PendingFile& pending)
    {
        if (pending.listed)
            return;
        pending.listed = true;
        if (pending.asked)
            ++m_result.filesStatted;
        if (!pending.found)
            return;
        // The memory's record as the last walk left it, which only this walk's listing changes.
        WalkMemory::Child* child = pending.child;
        const bool listedBefore = child && child->listedIn == m_previousWalk && child->listedAt >= 0 && child->statted;
        const qint64 modifiedBefore = child ? child->modifiedMs : 0;
        const std::optional<qint64> bornBefore = child ? child->born() : std::nullopt;
        if (child && pending.fresh) {
            child->statted = true;
            child->modifiedMs = pending.file.modifiedMs;
            child->setBorn(pending.file.bornMs);
        }
        if (m_sinceMs && pending.file.modifiedMs < *m_sinceMs)
            return;
        if (child) {
            if (listedBefore && modifiedBefore == pending.file.modifiedMs && bornBefore == pending.file.bornMs)
                pending.file.previous = child->listedAt;
            child->listedIn = m_thisWalk;
            child->listedAt = qint32(m_result.files.size());
        }
        m_result.files.push_back(std::move(pending.file));
    }

    // A walk that has read this many folders on its own reads the next ones ahead on a few threads.
    void noteReadHere()
    {
        if (++m_readHere != kReadBeforeThreads || m_readAhead.running())
            return;
        // A first walk, with nothing remembered to take on trust, has its readers go on alone; a
        // capped walk knows its cap only by listing in order, so its readers read what it asks.
        const bool deep = !m_rules.maxFiles && (!m_memory || m_firstWalk);
        m_readAhead.start(m_memory ? m_memory->notices() : -1,
                          m_memory ? m_memory->m_localDevices : std::unordered_map<quint64, bool>(), m_prunedFolders,
                          deep ? std::optional(m_selection) : std::nullopt);
        // The folders still ahead in the ones the walk is in, the nearest read first.
        if (m_readAhead.running())
            for (const Frame& frame : m_frames)
                readAheadOf(*frame.dir, *frame.relative, frame.depth, *frame.folder, frame.next + 1);
    }

    // Asks the readers for the subfolders of the folder just read (from its `from`th entry on) that
    // the walk will read too, in the order it will reach them.
    void readAheadOf(Dir& dir, const QByteArray& relative, int depth, const WalkMemory::Folder& folder, size_t from = 0)
    {
        if (!m_readAhead.running() || m_done || !m_selection.entersBelow(depth))
            return;
        ReadAhead::Requests requests;
        std::shared_ptr<FolderFd> parent;
        for (size_t index = from; index < folder.children.size(); ++index) {
            const WalkMemory::Child& child = folder.children[index];
            const QByteArrayView name = folder.name(child);
            if (child.type != DT_DIR || m_selection.passedOver(name))
                continue;
            QByteArray path = childPath(relative, name);
            bool wantWatch = false;
            if (m_memory) {
                const auto known = m_memory->m_folders.find(path);
                if (known != m_memory->m_folders.end() && known->second.watch >= 0 && !known->second.dirty)
                    continue;  // taken on trust, not read
                wantWatch = known == m_memory->m_folders.end() || known->second.watch < 0;
            }
            if (!parent && !(parent = dir.handle()))
                return;
            const bool wantSelf = m_memory || !m_prunedFolders.empty();
            requests.emplace_back(std::move(path), ReadAhead::Request{parent, name.toByteArray(), wantSelf, wantWatch, depth + 1});
        }
        if (!requests.empty())
            m_readAhead.ask(std::move(requests));
    }

    // Room for `count` listed files, taken at once so that a large list lies in large pages.
    void reserveFiles(size_t count)
    {
        if (m_result.files.capacity() >= count)
            return;
        m_result.files.reserve(count);
        LargePages::prefer(m_result.files.data(), m_result.files.capacity() * sizeof(WalkedFile));
    }

    bool statChild(Dir& dir, QByteArrayView name, struct statx& info)
    {
        const int fd = dir.fd();
        if (fd < 0)
            return false;
        ++m_result.filesStatted;
        char path[NAME_MAX + 1];
        if (name.size() > NAME_MAX)
            return false;
        std::memcpy(path, name.data(), size_t(name.size()));
        path[name.size()] = '\0';
        return ::statx(fd, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) == 0;
    }

    bool isPruned(const FolderId& id) const
    {
        return !m_prunedFolders.empty() && std::find(m_prunedFolders.begin(), m_prunedFolders.end(), id) != m_prunedFolders.end();
    }

    // A walk that has asked this many files' times on its own hands the rest to the askers.
    static constexpr int kAskedBeforeThreads = 512;
    static constexpr int kReadBeforeThreads = 16;

    const WalkRules& m_rules;
    const Selection m_selection;
    Clock& m_clock;
    WalkMemory* m_memory;
    std::optional<qint64> m_deadlineMs;
    std::optional<qint64> m_sinceMs;
    qint64 m_startSec = 0;
    quint32 m_previousWalk = 0;
    quint32 m_thisWalk = 0;
    bool m_firstWalk = true;  // the memory held no folder when the walk began
    std::vector<FolderId> m_prunedFolders;
    WalkResult m_result;
    bool m_done = false;
    Blocks<PendingFile, 4096> m_pending;  // in the walk's order
    Blocks<Batch, 1024> m_batches;
    PathStore m_paths;
    Batch* m_openBatch = nullptr;  // the batch the walk adds to, in the folder it is in
    bool m_batchAsks = false;      // the open batch has files whose times are to be asked aside
    int m_askedHere = 0;
    bool m_mayAskAside = true;
    int m_readHere = 0;
    // The folders the walk is in, the root first, each with the index of the entry it is at.
    struct Frame {
        Dir* dir;
        const QByteArray* relative;
        int depth;
        const WalkMemory::Folder* folder;
        size_t next;
    };
    std::vector<Frame> m_frames;
    TimeAskers m_askers;  // its threads end before the batches they work on go
    ReadAhead m_readAhead;  // last: its threads end before anything they read for goes
};

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

}  // namespace

WalkMemory::WalkMemory() = default;

WalkMemory::~WalkMemory()
{
    if (m_notices >= 0)
        ::close(m_notices);
}

void WalkMemory::clear()
{
    if (m_notices >= 0)
        ::close(m_notices);
    m_notices = -2;
    m_folders.clear();
    m_watched.clear();
    m_localDevices.clear();
}

void WalkMemory::takeNotices()
{
    if (m_notices < 0)
        return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(m_notices, buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Notices were lost: nothing remembered can be trusted.
                for (auto& [path, folder] : m_folders)
                    folder.dirty = true;
                continue;
            }
            const auto watched = m_watched.find(event->wd);
            if (watched == m_watched.end())
                continue;
            const auto folder = m_folders.find(watched->second);
            if (folder != m_folders.end()) {
                folder->second.dirty = true;
                if (event->mask & IN_IGNORED)
                    folder->second.watch = -1;
            }
            if (event->mask & IN_IGNORED)
                m_watched.erase(watched);
        }
    }
}

int WalkMemory::notices()
{
    if (m_notices == -2)
        m_notices = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return m_notices;
}

int WalkMemory::addWatch(int notices, int fd)
{
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return ::inotify_add_watch(notices, procPath, kNoticeMask);
}

bool WalkMemory::watch(Folder& folder, const QByteArray& path, int fd, quint64 device)
{
    if (notices() < 0 || fd < 0)
        return false;
    auto local = m_localDevices.find(device);
    if (local == m_localDevices.end())
        local = m_localDevices.emplace(device, noticesCoverEverything(fd)).first;
    if (!local->second)
        return false;
    if (folder.watch >= 0)
        return true;
    const int watch = addWatch(m_notices, fd);
    if (watch < 0)
        return false;  // out of watches: this folder is read as if it were remote
    record(folder, path, watch);
    return true;
}

void WalkMemory::record(Folder& folder, const QByteArray& path, int watch)
{
    // One folder reached by two paths (a bind mount) shares one watch; the path seen last keeps it.
    if (const auto other = m_watched.find(watch); other != m_watched.end() && other->second != path) {
        if (const auto previous = m_folders.find(other->second); previous != m_folders.end()) {
            previous->second.watch = -1;
            previous->second.dirty = true;
        }
    }
    m_watched[watch] = path;
    folder.watch = watch;
}

void WalkMemory::forget(const QByteArray& path, Folder& folder)
{
    if (folder.watch < 0)
        return;
    const auto watched = m_watched.find(folder.watch);
    if (watched != m_watched.end() && watched->second == path) {
        ::inotify_rm_watch(m_notices, folder.watch);
        m_watched.erase(watched);
    }
    folder.watch = -1;
}

QString WalkedFile::relativePath() const { return FileNames::display(relative); }

std::expected<WalkResult, WalkError> TreeWalk::walk(const QString& root, const WalkRules& rules, Clock& clock,
                                                    const QDateTime& deadline, WalkMemory* memory)
{
    const QString base = withoutTrailingSlashes(root);
    const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(base, errno));
    if (memory) {
        memory->takeNotices();
        for (auto& [path, folder] : memory->m_folders)
            folder.seen = false;
    }
    Walker walker(rules, clock, deadline, memory);
    {
        Dir top(fd);
        walker.walkFolder(top, QByteArray(), 1);
    }
    WalkResult result = walker.take();
    if (memory)
        memory->m_lastFiles = result.files.size();
    // Folders this walk did not reach are gone, pruned or past the deadline; a partial walk
    // forgets nothing, so the next one can still reuse what it did not get to.
    if (memory && !result.stoppedAtDeadline)
        for (auto item = memory->m_folders.begin(); item != memory->m_folders.end();) {
            if (item->second.seen) {
                ++item;
                continue;
            }
            memory->forget(item->first, item->second);
            item = memory->m_folders.erase(item);
        }
    return result;
}

std::expected<QStringList, WalkError> TreeWalk::entryNames(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(folder, errno));
    WalkMemory::Folder read;
    const bool ok = readChildren(fd, read.names, read.children);
    const int code = errno;
    ::close(fd);
    if (!ok)
        return std::unexpected(walkError(folder, code));
    QStringList visible;
    for (const WalkMemory::Child& child : read.children)
        if (!read.name(child).startsWith('.'))
            visible.append(QFile::decodeName(read.name(child).toByteArray()));
    return visible;
}

}  // namespace harkwell
