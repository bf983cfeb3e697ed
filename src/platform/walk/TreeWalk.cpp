#include "platform/walk/TreeWalk.h"

#include "platform/files/FileNames.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

struct FolderId {
    dev_t device;
    ino_t inode;
    bool operator==(const FolderId&) const = default;
};

// Takes ownership of `fd`; the folder's entries other than "." and "..", in byte order.
std::optional<std::vector<WalkMemory::Child>> readChildren(int fd)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<WalkMemory::Child> children;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        children.push_back({QByteArray(name), entry->d_type});
    }
    ::closedir(dir);
    std::sort(children.begin(), children.end(),
              [](const WalkMemory::Child& a, const WalkMemory::Child& b) { return a.name < b.name; });
    return children;
}

class Walker {
public:
    Walker(const WalkRules& rules, Clock& clock, const QDateTime& deadline, WalkMemory* memory)
        : m_rules(rules), m_clock(clock), m_memory(memory)
    {
        m_deadlineMs = deadline.isValid() ? std::optional(deadline.toMSecsSinceEpoch()) : std::nullopt;
        m_sinceMs = rules.modifiedSince.isValid() ? std::optional(rules.modifiedSince.toMSecsSinceEpoch()) : std::nullopt;
        if (memory)
            m_startSec = clock.msecsSinceEpoch() / 1000;
        for (const QString& name : rules.prunedNames)
            m_pruned.insert(QFile::encodeName(name));
        if (rules.extensions)
            for (const QString& extension : *rules.extensions)
                m_extensions.push_back('.' + QFile::encodeName(extension));
        for (const QString& folder : rules.prunedFolders) {
            struct stat info {};
            if (::stat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode))
                m_prunedFolders.push_back({info.st_dev, info.st_ino});
        }
    }

    // `fd` is an open folder, owned by the caller; `relative` its path below the root ("" for the root).
    void walkFolder(int fd, const QByteArray& relative, int depth)
    {
        struct statx self {};
        const bool known = ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MTIME | STATX_INO, &self) == 0;
        if (known && !m_prunedFolders.empty()) {
            const FolderId id{makedev(self.stx_dev_major, self.stx_dev_minor), self.stx_ino};
            if (std::find(m_prunedFolders.begin(), m_prunedFolders.end(), id) != m_prunedFolders.end())
                return;
        }

        std::vector<WalkMemory::Child> read;
        const std::vector<WalkMemory::Child>* children = nullptr;
        WalkMemory::Folder* remembered = nullptr;
        if (m_memory && known) {
            remembered = &m_memory->m_folders[relative];
            remembered->seen = true;
            if (remembered->changeSec == self.stx_mtime.tv_sec && remembered->changeNsec == self.stx_mtime.tv_nsec) {
                children = &remembered->children;
                ++m_result.foldersReused;
            }
        }
        if (!children) {
            // A second descriptor for the stream, so `fd` stays usable for the entries' statx and openat.
            const int streamFd = ::dup(fd);
            if (streamFd < 0)
                return;
            auto names = readChildren(streamFd);
            if (!names)
                return;
            ++m_result.foldersRead;
            if (remembered) {
                const bool settled = self.stx_mtime.tv_sec + kSettledSeconds < m_startSec;
                remembered->changeSec = settled ? self.stx_mtime.tv_sec : -1;
                remembered->changeNsec = self.stx_mtime.tv_nsec;
                remembered->children = std::move(*names);
                children = &remembered->children;
            } else {
                read = std::move(*names);
                children = &read;
            }
        }
        for (const WalkMemory::Child& child : *children) {
            if (m_done)
                return;
            if (m_deadlineMs && m_clock.msecsSinceEpoch() >= *m_deadlineMs) {
                m_result.stoppedAtDeadline = true;
                m_done = true;
                return;
            }
            visit(fd, relative, depth, child);
        }
    }

    WalkResult take() { return std::move(m_result); }

private:
    void visit(int folderFd, const QByteArray& relative, int depth, const WalkMemory::Child& child)
    {
        const QByteArray& name = child.name;
        if (m_rules.skipHidden && name.startsWith('.'))
            return;
        if (m_pruned.contains(name))
            return;

        unsigned char type = child.type;
        struct statx info {};
        bool statted = false;
        if (type == DT_UNKNOWN) {
            if (::statx(folderFd, name.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                        STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) != 0)
                return;
            statted = true;
            type = S_ISDIR(info.stx_mode) ? DT_DIR : S_ISREG(info.stx_mode) ? DT_REG : DT_LNK;
        }

        if (type == DT_DIR) {
            if (m_rules.maxDepth && depth >= *m_rules.maxDepth)
                return;
            const int childFd = ::openat(folderFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0)
                return;
            walkFolder(childFd, relative.isEmpty() ? name : relative + '/' + name, depth + 1);
            ::close(childFd);
            return;
        }
        if (type != DT_REG || !hasWantedExtension(name))
            return;
        if (!statted) {
            if (::statx(folderFd, name.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_MTIME | STATX_BTIME,
                        &info) != 0
                || !S_ISREG(info.stx_mode))
                return;
        }
        const qint64 modified = msecsOf(info.stx_mtime);
        if (m_sinceMs && modified < *m_sinceMs)
            return;
        WalkedFile file;
        file.relative = relative.isEmpty() ? name : relative + '/' + name;
        file.modifiedMs = modified;
        if (info.stx_mask & STATX_BTIME)
            file.bornMs = msecsOf(info.stx_btime);
        m_result.files.push_back(std::move(file));
        if (m_rules.maxFiles && qsizetype(m_result.files.size()) >= *m_rules.maxFiles)
            m_done = true;
    }

    bool hasWantedExtension(const QByteArray& name) const
    {
        if (!m_rules.extensions)
            return true;
        for (const QByteArray& extension : m_extensions)
            if (name.size() >= extension.size() && name.endsWith(extension))
                return true;
        return false;
    }

    const WalkRules& m_rules;
    Clock& m_clock;
    WalkMemory* m_memory;
    std::optional<qint64> m_deadlineMs;
    std::optional<qint64> m_sinceMs;
    qint64 m_startSec = 0;
    QSet<QByteArray> m_pruned;
    std::vector<QByteArray> m_extensions;
    std::vector<FolderId> m_prunedFolders;
    WalkResult m_result;
    bool m_done = false;
};

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

}  // namespace

QString WalkedFile::relativePath() const { return FileNames::display(relative); }

std::expected<WalkResult, WalkError> TreeWalk::walk(const QString& root, const WalkRules& rules, Clock& clock,
                                                    const QDateTime& deadline, WalkMemory* memory)
{
    const QString base = withoutTrailingSlashes(root);
    const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(base, errno));
    if (memory)
        for (auto& [path, folder] : memory->m_folders)
            folder.seen = false;
    Walker walker(rules, clock, deadline, memory);
    walker.walkFolder(fd, QByteArray(), 1);
    ::close(fd);
    WalkResult result = walker.take();
    // Folders this walk did not reach are gone, pruned or past the deadline; a partial walk
    // forgets nothing, so the next one can still reuse what it did not get to.
    if (memory && !result.stoppedAtDeadline)
        std::erase_if(memory->m_folders, [](const auto& item) { return !item.second.seen; });
    return result;
}

std::expected<QStringList, WalkError> TreeWalk::entryNames(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(folder, errno));
    const auto children = readChildren(fd);
    if (!children)
        return std::unexpected(walkError(folder, errno));
    QStringList visible;
    for (const WalkMemory::Child& child : *children)
        if (!child.name.startsWith('.'))
            visible.append(QFile::decodeName(child.name));
    return visible;
}

}  // namespace harkwell
