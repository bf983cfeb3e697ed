#include "platform/files/AtomicFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

// The umask as /proc reports it. umask(2) can only read the mask by setting it, and setting it
// from several threads at once can leave it at 0 for the whole process; nothing here sets it.
mode_t processUmask()
{
    static constexpr mode_t kUsual = 022;
    // /proc files report no size, so they are read to their end rather than by their size.
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kUsual;
    QByteArray status;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            status.append(buffer, n);
    }
    ::close(fd);
    const qsizetype at = status.indexOf("\nUmask:");
    if (at < 0)
        return kUsual;  // kernels before 4.7 do not say
    const qsizetype end = status.indexOf('\n', at + 1);
    bool ok = false;
    const uint mask = status.mid(at + 7, end < 0 ? -1 : end - (at + 7)).trimmed().toUInt(&ok, 8);
    return ok ? mode_t(mask & 0777) : kUsual;
}

FileError systemError(const QString& what, const QString& path, int error)
{
    return FileError{QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(error)))};
}
}  // namespace

std::expected<void, FileError> AtomicFile::writeAll(int fd, const QByteArray& content, const QString& pathForErrors)
{
    const char* data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(systemError(QStringLiteral("Could not write"), pathForErrors, errno));
        }
        data += written;
        left -= written;
    }
    return {};
}

std::expected<void, FileError> AtomicFile::syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(systemError(QStringLiteral("Could not open folder"), folder, errno));
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        return std::unexpected(systemError(QStringLiteral("Could not sync folder"), folder, error));
    return {};
}

int AtomicFile::removeLeftovers(const QString& path)
{
    const QFileInfo target(path);
    // The pattern write() gives mkostemp: a dot, the name, a dot and six characters of its choosing.
    const QString prefix = QStringLiteral(".") + target.fileName() + QLatin1Char('.');
    int removed = 0;
    const QStringList names = QDir(target.absolutePath()).entryList({prefix + QStringLiteral("??????")},
                                                                   QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString suffix = name.mid(prefix.size());
        const bool generated = std::all_of(suffix.cbegin(), suffix.cend(), [](QChar c) {
            return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        });
        if (generated && ::unlink(QFile::encodeName(target.absolutePath() + QLatin1Char('/') + name).constData()) == 0)
            ++removed;
    }
    return removed;
}

std::optional<QString> AtomicFile::keepAside(const QString& path)
{
    const QByteArray from = QFile::encodeName(path);
    for (int number = 0; number < 1000; ++number) {
        const QString kept = path + QStringLiteral(".invalid") + (number == 0 ? QString() : QLatin1Char('.') + QString::number(number));
        // Refuses to replace, so two starts that keep a damaged file at once never take the same name.
        const QByteArray to = QFile::encodeName(kept);
        int result = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (result != 0 && errno == EINVAL) {  // a file system without the flag: look first
            struct stat taken {};
            if (::lstat(to.constData(), &taken) == 0)
                continue;
            result = ::rename(from.constData(), to.constData());
        }
        if (result == 0)
            return kept;
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

unsigned AtomicFile::newFileMode() { return 0666 & ~processUmask(); }

std::expected<void, FileError> AtomicFile::write(const QString& path, const QByteArray& content, Durability durability)
{
    const QFileInfo target(path);
    const QString folder = target.absolutePath();
    QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));

    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(systemError(QStringLiteral("Could not create a temporary file for"), path, errno));
    const QString temporaryPath = QFile::decodeName(temporary);

    auto fail = [&](FileError error) -> std::expected<void, FileError> {
        ::unlink(temporary.constData());
        return std::unexpected(std::move(error));
    };

    // mkostemp makes 0600; keep the usual mode of an existing target, else the umask's default.
    mode_t mode = 0666;
    struct stat existing {};
    if (::stat(QFile::encodeName(path).constData(), &existing) == 0)
        mode = existing.st_mode & 07777;
    else
        mode = newFileMode();
    ::fchmod(fd, mode);

    if (auto written = writeAll(fd, content, temporaryPath); !written) {
        ::close(fd);
        return fail(written.error());
    }
    if (durability == Durability::Synced && ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(systemError(QStringLiteral("Could not sync"), temporaryPath, error));
    }
    if (::close(fd) != 0)
        return fail(systemError(QStringLiteral("Could not close"), temporaryPath, errno));
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0)
        return fail(systemError(QStringLiteral("Could not move into place"), path, errno));
    if (durability == Durability::Synced)
        return syncFolder(folder);
    return {};
}

}  // namespace harkwell
