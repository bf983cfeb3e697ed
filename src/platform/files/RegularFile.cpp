#include "platform/files/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

FileError failure(const QString& path, const QString& reason)
{
    return FileError{QStringLiteral("Could not read %1: %2").arg(path, reason)};
}

FileError systemFailure(const QString& path) { return failure(path, QString::fromLocal8Bit(std::strerror(errno))); }

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Opening without blocking is what keeps a FIFO from stalling the open itself; the type is then
// checked on the open descriptor, so nothing can be swapped in between the check and the read.
std::expected<int, FileError> openRegular(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::unexpected(systemFailure(path));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const FileError error = systemFailure(path);
        ::close(fd);
        return std::unexpected(error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::unexpected(failure(path, QStringLiteral("not a regular file")));
    }
    return fd;
}

// Appends up to `count` bytes; false on a read error. Fewer bytes appended means the end was reached.
bool appendUpTo(int fd, QByteArray& bytes, qsizetype count)
{
    const qsizetype start = bytes.size();
    bytes.resize(start + count);
    qsizetype filled = 0;
    while (filled < count) {
        const ssize_t got = ::read(fd, bytes.data() + start + filled, size_t(count - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            bytes.resize(start + filled);
            return false;
        }
        if (got == 0)
            break;
        filled += got;
    }
    bytes.resize(start + filled);
    return true;
}

}  // namespace

std::expected<QByteArray, FileError> RegularFile::read(const QString& path)
{
    const auto fd = openRegular(path);
    if (!fd)
        return std::unexpected(fd.error());
    const Descriptor owner(*fd);
    constexpr qsizetype kPiece = 1 << 16;
    QByteArray bytes;
    for (;;) {
        const qsizetype before = bytes.size();
        if (!appendUpTo(*fd, bytes, kPiece))
            return std::unexpected(systemFailure(path));
        if (bytes.size() - before < kPiece)
            return bytes;
    }
}

std::expected<QByteArray, FileError> RegularFile::readThrough(const QString& path, QByteArrayView marker, qsizetype limit)
{
    const auto fd = openRegular(path);
    if (!fd)
        return std::unexpected(fd.error());
    const Descriptor owner(*fd);
    constexpr qsizetype kPiece = 1 << 12;
    QByteArray bytes;
    while (bytes.size() < limit) {
        const qsizetype before = bytes.size();
        if (!appendUpTo(*fd, bytes, std::min(kPiece, limit - before)))
            return std::unexpected(systemFailure(path));
        // The marker may straddle two pieces: look again from just before where this piece began.
        const qsizetype found = bytes.indexOf(marker, std::max<qsizetype>(0, before - marker.size() + 1));
        if (found >= 0) {
            bytes.truncate(found + marker.size());
            return bytes;
        }
        if (bytes.size() - before < std::min(kPiece, limit - before))
            break;
    }
    return bytes;
}

}  // namespace harkwell
