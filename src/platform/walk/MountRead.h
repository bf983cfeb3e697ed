#pragma once
// A folder that is a mount of its own inside the walked tree is opened and read on a thread of its
// own, which the walk waits for until its deadline at most: a frozen mount (a network share whose
// server went away, a stuck user-space file system) then holds one abandoned thread, not the walk.
// start() and wait() run on the walk's thread; the reading thread ends when the call it is in does.

#include "platform/clock/Clock.h"
#include "platform/walk/ReadAhead.h"

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace harkwell::walk {

// The mount points strictly below the absolute folder `root`, as paths below it.
inline std::vector<QByteArray> mountPointsBelow(const QByteArray& root)
{
    std::vector<QByteArray> below;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return below;
    QByteArray table;
    char buffer[16384];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        table.append(buffer, got);
    ::close(fd);
    const QByteArray prefix = root.endsWith('/') ? root : root + '/';
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        // Spaces, tabs, new lines and backslashes in a mount point are written as octal escapes.
        QByteArray point;
        const QByteArray& escaped = fields[4];
        for (qsizetype at = 0; at < escaped.size(); ++at) {
            if (escaped[at] == '\\' && at + 3 < escaped.size()) {
                point += char(((escaped[at + 1] - '0') << 6) | ((escaped[at + 2] - '0') << 3) | (escaped[at + 3] - '0'));
                at += 3;
            } else {
                point += escaped[at];
            }
        }
        if (point.startsWith(prefix) && point.size() > prefix.size())
            below.push_back(point.mid(prefix.size()));
    }
    return below;
}

class MountRead {
public:
    // Starts reading the folder `name` in `parent`, or at `path` below `root` when there is no
    // parent open; none when no thread could be had.
    static std::shared_ptr<MountRead> start(std::shared_ptr<FolderFd> parent, std::shared_ptr<FolderFd> root,
                                            QByteArray path, QByteArray name)
    {
        auto read = std::make_shared<MountRead>();
        try {
            std::thread([read, parent = std::move(parent), root = std::move(root), path = std::move(path),
                         name = std::move(name)] {
                ReadAhead::Folder result;
                const int fd = parent ? openIn(parent->fd, name.constData()) : openBelow(root->fd, path.constData());
                if (fd < 0) {
                    result.error = errno;
                } else {
                    result.opened = true;
                    result.handle = std::make_shared<FolderFd>(fd, true);
                    result.known = ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MTIME | STATX_INO, &result.self) == 0;
                    result.read = readChildren(fd, result.names.names, result.names.children);
                    if (!result.read)
                        result.error = errno;
                }
                {
                    std::lock_guard guard(read->m_lock);
                    read->m_result = std::move(result);
                    read->m_finished = true;
                }
                read->m_busy->store(false, std::memory_order_release);
                read->m_done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            return nullptr;
        }
        return read;
    }

    // What was read, once it was; none when `deadlineMs` on `clock` passed first.
    std::optional<ReadAhead::Folder> wait(Clock& clock, std::optional<qint64> deadlineMs)
    {
        std::unique_lock lock(m_lock);
        while (!m_finished) {
            if (!deadlineMs) {
                m_done.wait(lock);
                continue;
            }
            const qint64 left = *deadlineMs - clock.msecsSinceEpoch();
            if (left <= 0)
                return std::nullopt;
            m_done.wait_for(lock, std::chrono::milliseconds(std::min<qint64>(left, 50)));
        }
        return std::move(m_result);
    }

    // True while the call that reads it has not returned.
    std::shared_ptr<std::atomic<bool>> busy() const { return m_busy; }

private:
    std::mutex m_lock;  // guards m_finished and m_result
    std::condition_variable m_done;
    bool m_finished = false;
    ReadAhead::Folder m_result;
    const std::shared_ptr<std::atomic<bool>> m_busy = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace harkwell::walk
