#pragma once
// Its own threads read folders; start(), ask(), take() and stop() run on the walk's thread.

#include "platform/clock/Clock.h"
#include "platform/walk/WalkFolders.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <sys/sysmacros.h>

namespace harkwell::walk {

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
        // The folder it is in, while it is still open for other reasons; else it is opened from the root.
        std::weak_ptr<FolderFd> parent;
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
        int error = 0;                     // why it was not opened or read
        WalkMemory::Folder names;
    };

    ReadAhead() = default;
    ~ReadAhead() { stop(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool running() const { return m_shared != nullptr; }
    int threads() const { return m_threads; }
    // The walk's deadline passed while it waited for a folder being read.
    bool abandoned() const { return m_abandoned; }

    // `root` is the walk's root, which the readers hold open until the last ends. `notices` is the change-notice descriptor (or -1), used on a duplicate of the readers' own;
    // folders with an id in `pruned` are neither watched nor read. With `deep`, the readers also
    // ask the times of the files it wants and go on into the subfolders it enters, without
    // waiting for the walk to reach a folder: a first walk has nothing to take from a memory.
    // Watches the readers add that the walk never takes go to `strays`.
    void start(std::shared_ptr<FolderFd> root, int notices, std::unordered_map<quint64, bool> localDevices,
               std::vector<FolderId> pruned, std::optional<Selection> deep, const WalkShares& shares,
               std::shared_ptr<WalkMemory::StrayWatches> strays, std::vector<QByteArray> mounts)
    {
        auto shared = std::make_shared<Shared>();
        shared->mounts = std::move(mounts);
        shared->root = std::move(root);
        shared->strays = std::move(strays);
        shared->mostOpen = shares.readAheadOpen;
        shared->notices = notices >= 0 ? ::fcntl(notices, F_DUPFD_CLOEXEC, 0) : -1;
        shared->localDevices = std::move(localDevices);
        shared->pruned = std::move(pruned);
        shared->deep = std::move(deep);
        const int processors = shares.processors;
        const int count = shares.mostReaders(shared->deep ? std::clamp(processors - 1, 1, kMostDeepThreads)
                                                          : std::clamp(processors / 2 - 1, 1, kMostThreads));
        int started = 0;
        try {
            for (; started < count; ++started)
                std::thread([shared] { shared->work(); }).detach();
        } catch (const std::system_error&) {
            // As many as could be had; none means the walk reads every folder by itself.
        }
        if (started > 0)
            m_shared = std::move(shared);
        m_threads = started;
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
    // Waits for one being read until `deadlineMs` on `clock` at most; abandoned() then says so.
    std::optional<Folder> take(const QByteArray& relative, Clock& clock, std::optional<qint64> deadlineMs)
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
            while (slot->state != State::Done) {
                if (!deadlineMs) {
                    shared.done.wait(lock);
                    continue;
                }
                const qint64 left = *deadlineMs - clock.msecsSinceEpoch();
                if (left <= 0) {
                    // Left to its reader: the watch it adds is kept all the same.
                    shared.asked[relative] = slot;
                    shared.walkerWaits = false;
                    m_abandoned = true;
                    return std::nullopt;
                }
                shared.done.wait_for(lock, std::chrono::milliseconds(std::min<qint64>(left, 50)));
            }
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
            // Watches added for folders the walk never took are still the memory's to keep.
            for (const auto& [path, slot] : m_shared->asked)
                if (slot->state == State::Done)
                    m_shared->stray(path, slot->result.watch);
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
        std::shared_ptr<FolderFd> root;
        std::shared_ptr<WalkMemory::StrayWatches> strays;
        std::vector<QByteArray> mounts;  // never read here: the walk reads them on a thread of their own
        int mostOpen = 1;
        int notices = -1;  // the readers' own duplicate
        std::vector<FolderId> pruned;
        std::optional<Selection> deep;

        void publish() { workable.store(closed || (!stack.empty() && open < mostOpen), std::memory_order_release); }

        // Under `lock`.
        void stray(const QByteArray& path, int watch)
        {
            if (watch < 0 || !strays)
                return;
            std::lock_guard guard(strays->lock);
            strays->watches.emplace_back(path, watch);
        }

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
                    wake.wait(guard, [this] { return closed || (!stack.empty() && open < mostOpen); });
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
                read(slot->path, slot->request, slot->result);
                Requests below;
                if (deep && slot->result.read)
                    readOn(slot->path, slot->request, slot->result, below);
                bool wakeWalker = false;
                bool wakeReaders = false;
                {
                    std::lock_guard guard(lock);
                    slot->state = State::Done;
                    if (closed)
                        stray(slot->path, slot->result.watch);
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

        void read(const QByteArray& path, const Request& request, Folder& result)
        {
            const std::shared_ptr<FolderFd> parent = request.parent.lock();
            const int fd = parent ? openIn(parent->fd, request.name.constData()) : openBelow(root->fd, path.constData());
            if (fd < 0) {
                result.error = errno;
                return;
            }
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
            if (!result.read)
                result.error = errno;
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
                if (child.type != DT_DIR || !deep->entersBelow(request.depth)
                    || path.size() + 1 + name.size() > kLongestPath)
                    continue;
                QByteArray childAt = childPath(path, name);
                if (!mounts.empty() && std::find(mounts.begin(), mounts.end(), childAt) != mounts.end())
                    continue;
                below.emplace_back(std::move(childAt), Request{result.handle, name.toByteArray(), request.wantSelf,
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
    int m_threads = 0;
    bool m_abandoned = false;
};

}  // namespace harkwell::walk
