#include "platform/files/NativeFiles.h"

#include <QList>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

bool removeInside(int folderFd)
{
    DIR* folder = ::fdopendir(folderFd);
    if (!folder) {
        ::close(folderFd);
        return false;
    }
    bool removed = true;
    while (dirent* item = ::readdir(folder)) {
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (::unlinkat(::dirfd(folder), name, 0) == 0)
            continue;
        if (errno != EISDIR && errno != EPERM) {
            removed = false;
            continue;
        }
        const int inner = ::openat(::dirfd(folder), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0 || !removeInside(inner) || ::unlinkat(::dirfd(folder), name, AT_REMOVEDIR) != 0)
            removed = false;
    }
    ::closedir(folder);
    return removed;
}

}  // namespace

std::optional<QByteArray> NativeFiles::makeUniqueFolder(const QByteArray& parent, const QByteArray& prefix)
{
    QByteArray pattern = parent + '/' + prefix + "XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return std::nullopt;
    return pattern;
}

bool NativeFiles::removeAll(const QByteArray& path)
{
    if (::unlink(path.constData()) == 0 || errno == ENOENT)
        return true;
    const int folder = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return false;
    const bool emptied = removeInside(folder);
    return ::rmdir(path.constData()) == 0 && emptied;
}

std::optional<QList<NativeFiles::FileItem>> NativeFiles::regularFiles(const QByteArray& folder)
{
    const auto names = entryNames(folder);
    if (!names)
        return std::nullopt;
    QList<FileItem> items;
    for (const QByteArray& name : *names) {
        if (name.startsWith('.'))
            continue;
        struct statx info {};
        if (::statx(AT_FDCWD, (folder + '/' + name).constData(), AT_SYMLINK_NOFOLLOW,
                    STATX_TYPE | STATX_MTIME | STATX_BTIME | STATX_SIZE, &info) != 0
            || !S_ISREG(info.stx_mode))
            continue;
        FileItem item;
        item.name = name;
        item.modified = QDateTime::fromMSecsSinceEpoch(info.stx_mtime.tv_sec * 1000 + info.stx_mtime.tv_nsec / 1'000'000);
        if (info.stx_mask & STATX_BTIME)
            item.born = QDateTime::fromMSecsSinceEpoch(info.stx_btime.tv_sec * 1000 + info.stx_btime.tv_nsec / 1'000'000);
        item.size = qint64(info.stx_size);
        items.append(item);
    }
    std::sort(items.begin(), items.end(), [](const FileItem& a, const FileItem& b) { return a.name < b.name; });
    return items;
}

std::optional<QList<QByteArray>> NativeFiles::entryNames(const QByteArray& path)
{
    DIR* folder = ::opendir(path.constData());
    if (!folder)
        return std::nullopt;
    QList<QByteArray> names;
    while (dirent* item = ::readdir(folder)) {
        const QByteArray name(item->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    ::closedir(folder);
    return names;
}

}  // namespace harkwell
