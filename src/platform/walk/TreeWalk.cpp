#include "platform/walk/TreeWalk.h"

#include "platform/files/FileNames.h"
#include "platform/limits/ProcessLimits.h"
#include "platform/walk/Walker.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace harkwell {

using namespace walk;

namespace {

WalkError walkError(const QString& folder, int code)
{
    return WalkError{QStringLiteral("Could not read the folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(code)))};
}

// What makes a watched folder's notice: any change to its names or to a file's content or times.
constexpr quint32 kNoticeMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE
                                | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

}  // namespace

WalkMemory::WalkMemory() : m_strayWatches(std::make_shared<StrayWatches>()) {}

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
    // Readers still at work add theirs on the old notices, which mean nothing now.
    m_strayWatches = std::make_shared<StrayWatches>();
    m_folders.clear();
    m_unanswered.clear();
    m_watched.clear();
    m_localDevices.clear();
}

void WalkMemory::takeNotices()
{
    {
        std::lock_guard guard(m_strayWatches->lock);
        // Each stands for a folder read on its own, with no walk to take its names: read next time.
        for (auto& [path, watch] : m_strayWatches->watches) {
            Folder& folder = m_folders[path];
            record(folder, path, watch);
            folder.dirty = true;
        }
        m_strayWatches->watches.clear();
    }
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
    const QByteArray path = QFile::encodeName(base);
    int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Out of descriptors for a moment: others let theirs go soon, and a walk cut short misleads.
    for (int attempt = 0; fd < 0 && isTransient(errno) && attempt < 100; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        return std::unexpected(walkError(base, errno));
    if (memory) {
        memory->takeNotices();
        for (auto& [path, folder] : memory->m_folders)
            folder.seen = false;
    }
    const WalkShares shares = WalkShares::of(ProcessLimits::walkDescriptorBudget(), ProcessLimits::usableProcessors());
    Walker walker(rules, clock, deadline, memory, shares);
    char* const real = ::realpath(path.constData(), nullptr);
    walker.walk(fd, real ? QByteArray(real) : path);
    std::free(real);
    WalkResult result = walker.take();
    if (memory)
        memory->m_lastFiles = result.files.size();
    // Folders this walk did not reach are gone, pruned or past the deadline; a partial walk
    // forgets nothing, so the next one can still reuse what it did not get to.
    if (memory && result.complete())
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
