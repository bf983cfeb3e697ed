#include "platform/filesystem/LocalFileSystem.h"

#include "platform/files/FileNames.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

bool ListingError::isPermissionDenied() const { return code == EACCES || code == EPERM; }

FileSystem& FileSystem::local()
{
    static LocalFileSystem fileSystem;
    return fileSystem;
}

namespace {
ListingError listingError(int code) { return ListingError{code, QString::fromLocal8Bit(std::strerror(code))}; }
}  // namespace

std::expected<QList<FolderEntry>, ListingError> LocalFileSystem::listFolder(const QString& path)
{
    DIR* dir = ::opendir(FileNames::native(path).constData());
    if (!dir)
        return std::unexpected(listingError(errno));
    QList<FolderEntry> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        bool isLink = entry->d_type == DT_LNK;
        struct stat info {};
        if (entry->d_type == DT_UNKNOWN && ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            isDirectory = S_ISDIR(info.st_mode);
            isLink = S_ISLNK(info.st_mode);
        }
        if (isLink)
            isDirectory = ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
        entries.append({FileNames::text(QByteArray(entry->d_name)), isDirectory, isLink});
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        return std::unexpected(listingError(readError));
    return entries;
}

namespace {
FileStat fileStat(const struct stat& info)
{
    const qint64 milliseconds = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1'000'000;
    FileStat answer;
    answer.size = qint64(info.st_size);
    answer.modified = QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
    answer.isDirectory = S_ISDIR(info.st_mode);
    answer.isRegular = S_ISREG(info.st_mode);
    answer.isSymbolicLink = S_ISLNK(info.st_mode);
    answer.device = quint64(info.st_dev);
    answer.inode = quint64(info.st_ino);
    return answer;
}
}  // namespace

std::optional<FileStat> LocalFileSystem::stat(const QString& path)
{
    struct stat info {};
    if (::stat(FileNames::native(path).constData(), &info) != 0)
        return std::nullopt;
    return fileStat(info);
}

std::optional<FileStat> LocalFileSystem::linkStat(const QString& path)
{
    struct stat info {};
    if (::lstat(FileNames::native(path).constData(), &info) != 0)
        return std::nullopt;
    return fileStat(info);
}

bool LocalFileSystem::exists(const QString& path)
{
    struct stat info {};
    return ::stat(FileNames::native(path).constData(), &info) == 0;
}

int LocalFileSystem::readError(const QString& path)
{
    const int fd = ::open(FileNames::native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

}  // namespace harkwell
