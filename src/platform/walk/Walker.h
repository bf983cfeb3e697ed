#pragma once
// Runs on the thread that called TreeWalk::walk, from its start to take().

#include "platform/files/FileNames.h"
#include "platform/memory/LargePages.h"
#include "platform/walk/MountRead.h"
#include "platform/walk/ReadAhead.h"
#include "platform/walk/TimeAskers.h"
#include "platform/walk/WalkBlocks.h"
#include "platform/walk/WalkFolders.h"

#include <QFile>

#include <deque>
#include <thread>

#include <sys/sysmacros.h>

namespace harkwell::walk {

// Lists the tree on the thread that called TreeWalk::walk. The folders it is in are a stack of its
// own, not calls within calls, so a tree of any depth lists on an ordinary stack; only the last few
// of them hold a descriptor, and one whose descriptor was let go is opened again when something in
// it still has to be asked of the disk.
class Walker {
public:
    Walker(const WalkRules& rules, Clock& clock, const QDateTime& deadline, WalkMemory* memory, WalkShares shares)
        : m_rules(rules), m_selection(rules), m_clock(clock), m_memory(memory), m_shares(shares), m_askers(shares.waitingBatches)
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

    // Walks the tree below the open folder `root` (at the absolute path `rootPath`), which the
    // walk then owns.
    void walk(int root, const QByteArray& rootPath)
    {
        m_root = std::make_shared<FolderFd>(root, true);
        m_mounts = mountPointsBelow(rootPath);
        m_path.clear();
        enterFolder(m_root, 1);
        while (!m_frames.empty()) {
            Frame& frame = m_frames.back();
            if (m_done || frame.next >= frame.folder->children.size()) {
                leaveFolder();
                continue;
            }
            if (m_deadlineMs && m_clock.msecsSinceEpoch() >= *m_deadlineMs) {
                m_result.stoppedAtDeadline = true;
                m_done = true;
                continue;
            }
            WalkMemory::Child& child = frame.folder->children[frame.next++];
            visit(child);
        }
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
        m_result.threadsStarted = m_askers.threads() + m_readAhead.threads();
        m_readAhead.stop();
        return std::move(m_result);
    }

private:
    // A folder the walk is in.
    struct Frame {
        WalkMemory::Folder* folder = nullptr;      // its names: the memory's, or `own`
        std::unique_ptr<WalkMemory::Folder> own;   // read by this walk and not remembered
        std::shared_ptr<FolderFd> handle;          // open, or none
        qsizetype pathSize = 0;                    // m_path's length while the walk is in it
        qsizetype nameAt = 0;                      // where its name begins in m_path
        quint64 serial = 0;                        // tells a frame from a later one at its place
        size_t next = 0;                           // its entry the walk visits next
        int depth = 1;                             // the root's is 1
        bool remembered = false;                   // `folder` is the memory's record
        bool trusted = false;                      // the remembered times of its files stand
        bool fresh = false;                        // its files' times were asked by this walk's readers
        bool failed = false;                       // it could not be opened again
        int failedWith = 0;                        // and why
        bool hole = false;                         // unreadable: its entries are the last walk's
    };

    // Enters the folder at m_path (its name at `nameAt`), whose descriptor is `handle` or is
    // opened when needed; a folder that is not entered leaves m_path as it found it.
    void enterFolder(std::shared_ptr<FolderFd> handle, int depth, qsizetype nameAt = 0)
    {
        Frame& frame = m_frames.emplace_back();
        frame.pathSize = m_path.size();
        frame.nameAt = nameAt;
        frame.depth = depth;
        frame.serial = ++m_serial;
        const size_t index = m_frames.size() - 1;
        if (handle)
            setHandle(index, std::move(handle));
        if (!fillFrame(index))
            dropFrame();
    }

    // Works out which names the walk visits in the folder of the top frame; false: none (it is
    // pruned, gone, or unreadable with nothing remembered of it).
    bool fillFrame(size_t index)
    {
        const QByteArray& relative = m_path;
        WalkMemory::Folder* remembered = nullptr;
        if (m_memory && relative.size() <= kLongestPath) {
            remembered = &m_memory->m_folders[relative];
            remembered->seen = true;
            if (remembered->watch >= 0 && !remembered->dirty) {
                if (isPruned({remembered->device, remembered->inode}))
                    return false;
                ++m_result.foldersReused;
                useFolder(index, remembered, true, false);
                return true;
            }
        }

        // Readers are never asked for a folder with a path too long to open in one call, nor for
        // a mount point.
        std::optional<ReadAhead::Folder> ahead;
        if (isMountPoint(relative)) {
            bool answered = true;
            ahead = readMount(index, answered);
            if (!answered) {
                m_result.unreadable.append(FileNames::display(relative) + QStringLiteral(": not answering"));
                return keepRemembered(index, remembered, nullptr);
            }
        } else if (m_readAhead.running() && relative.size() <= kLongestPath) {
            ahead = m_readAhead.take(relative, m_clock, m_deadlineMs);
        }
        if (m_readAhead.running() && m_readAhead.abandoned()) {
            // A reader hangs on this folder: it is left as it was, and the walk ends at its deadline.
            m_result.stoppedAtDeadline = true;
            m_done = true;
            return keepRemembered(index, remembered, nullptr);
        }
        if (ahead && !ahead->opened && (isTransient(ahead->error) || ahead->error == ENOSYS))
            ahead.reset();  // the readers had no descriptor to spare, or no way to open it: read here
        if (ahead) {
            if (!ahead->opened)
                return isGone(ahead->error) ? false : keepRemembered(index, remembered, &ahead->error);
            if (ahead->handle)
                setHandle(index, ahead->handle);
        }
        // A folder read ahead is opened again only if something in it is left to ask.
        const int fd = ahead ? -1 : frameFd(index);
        if (!ahead && fd < 0) {
            const int code = errno;
            return isGone(code) ? false : keepRemembered(index, remembered, &code);
        }
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
            return false;
        // The folder's names as read ahead, or read now; false with errno when they cannot be read.
        const auto readNames = [&](WalkMemory::Folder& read) {
            if (ahead) {
                read = std::move(ahead->names);
                errno = ahead->error;
                return ahead->read;
            }
            noteReadHere();
            return readChildren(fd, read.names, read.children);
        };
        if (!remembered) {
            auto read = std::make_unique<WalkMemory::Folder>();
            if (!readNames(*read)) {
                const int code = errno;
                return isGone(code) ? false : keepRemembered(index, nullptr, &code);
            }
            ++m_result.foldersRead;
            Frame& frame = m_frames[index];
            frame.own = std::move(read);
            useFolder(index, frame.own.get(), false, fresh);
            if (!fresh)
                readAheadOf(index, 0);
            return true;
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
            m_memory->watch(*remembered, relative, frameFd(index), id.device);
        }
        remembered->dirty = false;
        const bool sameNames =
            known && remembered->changeSec == self.stx_mtime.tv_sec && remembered->changeNsec == self.stx_mtime.tv_nsec;
        if (sameNames) {
            ++m_result.foldersReused;
        } else {
            WalkMemory::Folder read;
            if (!readNames(read)) {
                const int code = errno;
                remembered->dirty = true;
                return isGone(code) ? false : keepRemembered(index, remembered, &code);
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
        }
        // Read because it changed or is not watched: its files are asked for their times.
        useFolder(index, remembered, false, fresh && !sameNames);
        if (!sameNames && !fresh)
            readAheadOf(index, 0);
        return true;
    }

    bool isMountPoint(QByteArrayView relative) const
    {
        return !m_mounts.empty() && std::find(m_mounts.begin(), m_mounts.end(), relative) != m_mounts.end();
    }

    // The mount point of the frame at `index`, read on a thread of its own; `answered` false when
    // its reading has not returned, from an earlier walk or by the deadline.
    std::optional<ReadAhead::Folder> readMount(size_t index, bool& answered)
    {
        if (m_memory) {
            const auto stuck = m_memory->m_unanswered.find(m_path);
            if (stuck != m_memory->m_unanswered.end()) {
                if (stuck->second->load(std::memory_order_acquire)) {
                    answered = false;
                    return std::nullopt;
                }
                m_memory->m_unanswered.erase(stuck);
            }
        }
        const Frame& frame = m_frames[index];
        const std::shared_ptr<MountRead> read =
            MountRead::start(m_frames[index - 1].handle, m_root, m_path, m_path.mid(frame.nameAt));
        if (!read)
            return std::nullopt;  // no thread to be had: read here
        std::optional<ReadAhead::Folder> folder = read->wait(m_clock, m_deadlineMs);
        if (folder)
            return folder;
        if (m_memory)
            m_memory->m_unanswered[m_path] = read->busy();
        m_result.stoppedAtDeadline = true;
        m_done = true;
        answered = false;
        return std::nullopt;
    }

    void useFolder(size_t index, WalkMemory::Folder* folder, bool trusted, bool fresh)
    {
        Frame& frame = m_frames[index];
        frame.folder = folder;
        frame.remembered = folder != frame.own.get();
        frame.trusted = trusted;
        frame.fresh = fresh;
    }

    // A folder that is there but cannot be read: named among the walk's unreadable folders
    // (unless a folder around it already is), and its entries are the ones the last walk saw.
    bool keepRemembered(size_t index, WalkMemory::Folder* remembered, const int* code)
    {
        const bool inHole = index > 0 && m_frames[index - 1].hole;
        if (code && !inHole)
            m_result.unreadable.append(QStringLiteral("%1: %2").arg(FileNames::display(m_path),
                                                                    QString::fromLocal8Bit(std::strerror(*code))));
        if (!remembered || remembered->children.empty())
            return false;
        remembered->dirty = true;
        useFolder(index, remembered, true, false);
        m_frames[index].hole = true;
        return true;
    }

    void leaveFolder()
    {
        closeBatch();
        dropFrame();
    }

    void dropFrame()
    {
        Frame& frame = m_frames.back();
        if (frame.handle && m_frames.size() > 1) {
            --m_openFrames;
            if (!m_openOrder.empty() && m_openOrder.back().second == frame.serial)
                m_openOrder.pop_back();
        }
        m_frames.pop_back();
        m_path.truncate(m_frames.empty() ? 0 : m_frames.back().pathSize);
    }

    void visit(WalkMemory::Child& child)
    {
        const size_t index = m_frames.size() - 1;
        const Frame& frame = m_frames[index];
        const QByteArrayView name = frame.folder->name(child);
        if (m_selection.passedOver(name))
            return;

        struct statx info {};
        bool statted = false;
        if (child.type == DT_UNKNOWN) {
            if (!statChild(index, name, info))
                return;
            statted = true;
            child.type = entryType(info.stx_mode);
        }

        if (child.type == DT_DIR) {
            if (!m_selection.entersBelow(frame.depth))
                return;
            closeBatch();
            const qsizetype nameAt = m_path.isEmpty() ? 0 : m_path.size() + 1;
            if (!m_path.isEmpty())
                m_path += '/';
            m_path += name;
            enterFolder(nullptr, frame.depth + 1, nameAt);
            return;
        }
        if (child.type != DT_REG || !m_selection.wanted(name))
            return;

        // A batch's files lie in one block.
        if (m_pending.full())
            closeBatch();
        PendingFile& pending = m_pending.add();
        if (frame.remembered)
            pending.child = &child;
        const QByteArray& relative = m_path;
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
        } else if ((frame.trusted || frame.fresh) && child.statted) {
            pending.file.modifiedMs = child.modifiedMs;
            pending.file.bornMs = child.born();
            pending.fresh = frame.fresh;
            pending.asked = frame.fresh;
        } else {
            pending.ask = true;
        }

        Batch& batch = openBatch(pending);
        ++batch.count;
        if (pending.ask) {
            if (!batch.folder)
                batch.folder = frameHandle(index);
            if (!batch.folder) {
                pending.ask = false;
                pending.found = false;
                return;
            }
            if (!m_askers.running()) {
                askTimes(batch.folder->fd, pending);
                ++m_askedHere;
                if (m_mayAskAside && m_askedHere == kAskedBeforeThreads)
                    m_mayAskAside = m_askers.start(m_shares.processors);
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

    // The open folder of the frame at `index`, opened again if it was let go; none when it cannot be.
    std::shared_ptr<FolderFd> frameHandle(size_t index)
    {
        frameFd(index);
        return m_frames[index].handle;
    }

    // -1, with errno, when the folder cannot be opened.
    int frameFd(size_t index)
    {
        Frame& frame = m_frames[index];
        if (frame.handle)
            return frame.handle->fd;
        if (frame.failed) {
            errno = frame.failedWith;
            return -1;
        }
        // From the nearest folder around it that is still open, one name at a time; a short path
        // straight from the root.
        size_t from = index;
        while (from > 0 && !m_frames[from - 1].handle)
            --from;
        if (from < index && m_frames[index].pathSize <= kLongestPath) {
            const QByteArray path(m_path.constData(), m_frames[index].pathSize);
            const int fd = openRetrying(index, [&] { return openBelow(m_root->fd, path.constData()); });
            if (fd >= 0) {
                setHandle(index, std::make_shared<FolderFd>(fd, true));
                return fd;
            }
            if (errno != ENOSYS)
                return failFrame(index, errno);
        }
        for (size_t at = from; at <= index; ++at) {
            Frame& step = m_frames[at];
            char name[NAME_MAX + 1];
            const qsizetype size = step.pathSize - step.nameAt;
            std::memcpy(name, m_path.constData() + step.nameAt, size_t(size));
            name[size] = '\0';
            const int parent = m_frames[at - 1].handle->fd;
            const int fd = openRetrying(at - 1, [&] { return openIn(parent, name); });
            if (fd < 0)
                return failFrame(index, errno);
            setHandle(at, std::make_shared<FolderFd>(fd, true));
        }
        return m_frames[index].handle->fd;
    }

    int failFrame(size_t index, int code)
    {
        m_frames[index].failed = true;
        m_frames[index].failedWith = code;
        errno = code;
        return -1;
    }

    // Keeps the frame's descriptor, letting the oldest other one go past the walk's share.
    void setHandle(size_t index, std::shared_ptr<FolderFd> handle)
    {
        Frame& frame = m_frames[index];
        frame.handle = std::move(handle);
        if (index == 0)
            return;  // the root's stays open for the whole walk
        ++m_openFrames;
        m_openOrder.emplace_back(index, frame.serial);
        while (m_openFrames > m_shares.openFolders && letOneGo(index)) {
        }
    }

    // Lets the descriptor of the frame opened longest ago go, other than `keep`'s; false when none can.
    bool letOneGo(size_t keep)
    {
        for (size_t tries = m_openOrder.size(); tries > 0; --tries) {
            const auto entry = m_openOrder.front();
            m_openOrder.pop_front();
            const auto [index, serial] = entry;
            if (index >= m_frames.size() || m_frames[index].serial != serial || !m_frames[index].handle)
                continue;  // gone, or let go already
            if (index == keep) {
                m_openOrder.push_back(entry);
                continue;
            }
            m_frames[index].handle.reset();
            --m_openFrames;
            return true;
        }
        return false;
    }

    // Opens by `open`, waiting and trying again while the process is out of descriptors: the walk
    // first lets its own go, then waits for the others to let theirs go, until its deadline (or a
    // time of its own without one). -1 with errno otherwise.
    template <typename Open>
    int openRetrying(size_t keep, Open open)
    {
        using namespace std::chrono;
        const auto giveUp = steady_clock::now() + kLongestWaitForDescriptor;
        auto pause = microseconds(100);
        for (;;) {
            const int fd = open();
            if (fd >= 0 || !isTransient(errno))
                return fd;
            const int code = errno;
            bool freed = false;
            while (letOneGo(keep))
                freed = true;
            if (freed)
                continue;
            if (steady_clock::now() >= giveUp || (m_deadlineMs && m_clock.msecsSinceEpoch() >= *m_deadlineMs)) {
                errno = code;
                return -1;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, duration_cast<microseconds>(milliseconds(20)));
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
        m_readAhead.start(m_root, m_memory ? m_memory->notices() : -1,
                          m_memory ? m_memory->m_localDevices : std::unordered_map<quint64, bool>(), m_prunedFolders,
                          deep ? std::optional(m_selection) : std::nullopt, m_shares,
                          m_memory ? m_memory->m_strayWatches : nullptr, m_mounts);
        // The folders still ahead in the ones the walk is in, the nearest read first. The top
        // frame is the one being read: its own subfolders are asked for once it is.
        if (m_readAhead.running())
            for (size_t index = 0; index + 1 < m_frames.size(); ++index)
                readAheadOf(index, m_frames[index].next);
    }

    // Asks the readers for the subfolders of the frame's folder (from its `from`th entry on) that
    // the walk will read too, in the order it will reach them.
    void readAheadOf(size_t index, size_t from)
    {
        const Frame& frame = m_frames[index];
        if (!m_readAhead.running() || m_done || !m_selection.entersBelow(frame.depth) || frame.hole
            || frame.pathSize + 2 > kLongestPath)
            return;
        const QByteArray relative(m_path.constData(), frame.pathSize);
        const WalkMemory::Folder& folder = *frame.folder;
        ReadAhead::Requests requests;
        for (size_t at = from; at < folder.children.size(); ++at) {
            const WalkMemory::Child& child = folder.children[at];
            const QByteArrayView name = folder.name(child);
            if (child.type != DT_DIR || m_selection.passedOver(name))
                continue;
            QByteArray path = childPath(relative, name);
            if (path.size() > kLongestPath || isMountPoint(path))
                continue;  // read by the walk itself
            bool wantWatch = false;
            if (m_memory) {
                const auto known = m_memory->m_folders.find(path);
                if (known != m_memory->m_folders.end() && known->second.watch >= 0 && !known->second.dirty)
                    continue;  // taken on trust, not read
                wantWatch = known == m_memory->m_folders.end() || known->second.watch < 0;
            }
            const bool wantSelf = m_memory || !m_prunedFolders.empty();
            requests.emplace_back(std::move(path),
                                  ReadAhead::Request{frame.handle, name.toByteArray(), wantSelf, wantWatch, frame.depth + 1});
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

    bool statChild(size_t index, QByteArrayView name, struct statx& info)
    {
        const int fd = frameFd(index);
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
    // Out of descriptors with none of its own to let go, a walk without a deadline waits this long.
    static constexpr auto kLongestWaitForDescriptor = std::chrono::seconds(10);

    const WalkRules& m_rules;
    const Selection m_selection;
    Clock& m_clock;
    WalkMemory* m_memory;
    const WalkShares m_shares;
    std::optional<qint64> m_deadlineMs;
    std::optional<qint64> m_sinceMs;
    qint64 m_startSec = 0;
    quint32 m_previousWalk = 0;
    quint32 m_thisWalk = 0;
    bool m_firstWalk = true;  // the memory held no folder when the walk began
    std::vector<FolderId> m_prunedFolders;
    std::vector<QByteArray> m_mounts;  // mount points below the root, as paths below it
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
    std::shared_ptr<FolderFd> m_root;
    QByteArray m_path;            // of the folder the walk is in, below the root
    std::vector<Frame> m_frames;  // the folders the walk is in, the root first
    quint64 m_serial = 0;
    int m_openFrames = 0;         // frames other than the root's holding a descriptor
    std::deque<std::pair<size_t, quint64>> m_openOrder;  // frames by when they were opened (some gone since)
    TimeAskers m_askers;  // its threads end before the batches they work on go
    ReadAhead m_readAhead;  // last: its threads end before anything they read for goes
};

}  // namespace harkwell::walk
