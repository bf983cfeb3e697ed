#include "onboarding/VaultSearch.h"

#include <QFile>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace harkwell {

namespace {

// The macOS places, and their counterparts on this desktop (the freedesktop trash, per-volume
// trash folders and the user's cache folder).
const char* const kExcludedPatterns[] = {
    "*/.Trash/*", "*/Library/Caches/*", "*/node_modules/*", "*/.git/*", "*/.archive/*",
    "*/.local/share/Trash/*", "*/.Trash-*/*", "*/.cache/*",
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class Walk {
public:
    Walk(const QDateTime& deadline, const Clock& clock) : m_deadline(deadline), m_clock(clock) {}

    bool expired() const { return m_expired || (m_expired = m_clock.now() >= m_deadline); }

    // `depth` is the depth of the entries inside `folder` below the root.
    void visit(const QByteArray& folder, int depth, QStringList& hits)
    {
        if (depth > VaultSearch::kMaxDepth || expired())
            return;
        std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.constData()));
        if (!dir)
            return;
        const int fd = ::dirfd(dir.get());
        while (const dirent* entry = ::readdir(dir.get())) {
            if (expired())
                return;
            const char* name = entry->d_name;
            if (::strcmp(name, ".") == 0 || ::strcmp(name, "..") == 0)
                continue;
            if (!isDirectory(fd, entry))
                continue;
            const QByteArray child = folder.endsWith('/') ? folder + name : folder + '/' + name;
            if (::strcmp(name, ".obsidian") == 0) {
                const QString path = QFile::decodeName(child);
                if (!VaultSearch::isExcluded(path))
                    hits.append(path);
            }
            visit(child, depth + 1, hits);
        }
    }

private:
    static bool isDirectory(int folderFd, const dirent* entry)
    {
        if (entry->d_type == DT_DIR)
            return true;
        if (entry->d_type != DT_UNKNOWN)
            return false;
        struct stat info {};
        return ::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }

    QDateTime m_deadline;
    const Clock& m_clock;
    mutable bool m_expired = false;
};

}  // namespace

bool VaultSearch::isExcluded(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    for (const char* pattern : kExcludedPatterns)
        if (::fnmatch(pattern, bytes.constData(), 0) == 0)
            return true;
    return false;
}

QStringList VaultSearch::obsidianFolders(const QStringList& roots, const QDateTime& deadline, const Clock& clock)
{
    QStringList hits;
    Walk walk(deadline, clock);
    for (const QString& root : roots) {
        if (walk.expired())
            break;
        walk.visit(QFile::encodeName(root), 1, hits);
    }
    return hits;
}

}  // namespace harkwell
