#include "foundation/InboxWriter.h"

#include "platform/files/AtomicFile.h"
#include "platform/files/FileNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

InboxError fileError(const QString& what, const QString& path, int error)
{
    return InboxError{InboxError::Kind::File,
                      QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(error)))};
}

InboxError sourceError(const QString& what, const QString& path, int error)
{
    InboxError failure = fileError(what, path, error);
    failure.kind = InboxError::Kind::SourceUnreadable;
    return failure;
}

InboxError invalidId(const QString& id)
{
    return InboxError{InboxError::Kind::InvalidId, QStringLiteral("The capture id “%1” cannot name a file in the inbox.").arg(id)};
}

bool existsAt(const QByteArray& path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

// Moves `from` to `to` unless something is already at `to`. Returns false with errno EEXIST then.
bool renameNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag: the window between the test and the rename is the only one.
    if (existsAt(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.constData(), to.constData()) == 0;
}

InboxError sourceChanged(const QString& sourcePath)
{
    return InboxError{InboxError::Kind::SourceChanged, QStringLiteral("%1 changed while it was being copied").arg(sourcePath)};
}

qint64 milliseconds(const timespec& time) { return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1'000'000; }

// The source as it was opened, and as it is after its bytes were read: the same file (the name still
// leads to it), the same size and the same modification time, to the nanosecond.
bool unchanged(const struct stat& before, const struct stat& after)
{
    return before.st_dev == after.st_dev && before.st_ino == after.st_ino && before.st_size == after.st_size
           && before.st_mtim.tv_sec == after.st_mtim.tv_sec && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

bool matches(const struct stat& info, const FileStat& expected)
{
    return quint64(info.st_dev) == expected.device && quint64(info.st_ino) == expected.inode
           && qint64(info.st_size) == expected.size && milliseconds(info.st_mtim) == expected.modified.toMSecsSinceEpoch();
}

// Copies `size` bytes, the source's length when it was opened; a source that ends before them or
// goes on after them is being written to.
std::expected<void, InboxError> copyBytes(int from, int to, qint64 size, const QString& sourcePath, const QString& targetPath)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), size_t(buffer.size()));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(sourceError(QStringLiteral("Could not read"), sourcePath, errno));
        }
        if (got == 0)
            return copied == size ? std::expected<void, InboxError>() : std::unexpected(sourceChanged(sourcePath));
        copied += got;
        if (copied > size)
            return std::unexpected(sourceChanged(sourcePath));
        if (auto written = AtomicFile::writeAll(to, QByteArray::fromRawData(buffer.constData(), got), targetPath); !written)
            return std::unexpected(InboxError{InboxError::Kind::File, written.error().text});
    }
}

}  // namespace

QString InboxWriter::inboxFolder() const { return m_vaultRoot + QStringLiteral("/_inbox"); }
QString InboxWriter::audioFolder() const { return m_vaultRoot + QStringLiteral("/_inbox/.audio"); }

bool InboxWriter::isSafeId(const QString& id)
{
    return !id.isEmpty() && !id.contains(QLatin1Char('/')) && !id.contains(QChar(u'\0'))
           && !id.contains(QLatin1String("..")) && !id.startsWith(QLatin1Char('.'));
}

std::expected<QString, InboxError> InboxWriter::notePath(const QString& id) const
{
    if (!isSafeId(id))
        return std::unexpected(invalidId(id));
    return inboxFolder() + QLatin1Char('/') + id + QStringLiteral(".md");
}

std::expected<QString, InboxError> InboxWriter::audioCopyPath(const QString& id) const
{
    if (!isSafeId(id))
        return std::unexpected(invalidId(id));
    return audioFolder() + QLatin1Char('/') + id + QStringLiteral(".m4a");
}

std::optional<QString> InboxWriter::temporaryCopyId(const QString& fileName)
{
    return temporaryId(fileName, QStringLiteral(".m4a."));
}

std::optional<QString> InboxWriter::temporaryNoteId(const QString& fileName)
{
    return temporaryId(fileName, QStringLiteral(".md."));
}

std::optional<QString> InboxWriter::temporaryId(const QString& fileName, const QString& middle)
{
    constexpr qsizetype kRandomPart = 6;  // the XXXXXX of mkostemp
    if (!fileName.startsWith(QLatin1Char('.')) || fileName.size() <= 1 + middle.size() + kRandomPart)
        return std::nullopt;
    const qsizetype at = fileName.size() - kRandomPart - middle.size();
    if (QStringView(fileName).mid(at, middle.size()) != middle)
        return std::nullopt;
    const QString id = fileName.mid(1, at - 1);
    return isSafeId(id) ? std::optional(id) : std::nullopt;
}

std::expected<void, InboxError> InboxWriter::ensureDirectories() const
{
    for (const QString& folder : {inboxFolder(), audioFolder()}) {
        if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0 || errno == EEXIST) {
            if (QFileInfo(folder).isDir())
                continue;
            return std::unexpected(fileError(QStringLiteral("Could not create the folder"), folder, ENOTDIR));
        }
        if (errno != ENOENT || !QDir().mkpath(folder))
            return std::unexpected(fileError(QStringLiteral("Could not create the folder"), folder, errno));
    }
    return {};
}

std::expected<QString, InboxError> InboxWriter::copyAudio(const QString& sourcePath, const QString& id,
                                                          const std::optional<FileStat>& expected) const
{
    const auto target = audioCopyPath(id);
    if (!target)
        return target;
    if (auto made = ensureDirectories(); !made)
        return std::unexpected(made.error());
    const QByteArray targetName = QFile::encodeName(*target);
    if (existsAt(targetName))
        return *target;

    // Only a plain file is copied: a symbolic link put in its place could lead anywhere, and a FIFO
    // would hold the copy until some writer turns up.
    const int source = ::open(FileNames::native(sourcePath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (source < 0)
        return std::unexpected(sourceError(QStringLiteral("Could not open"), sourcePath, errno));
    struct stat opened {};
    if (::fstat(source, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(source);
        return std::unexpected(
            InboxError{InboxError::Kind::SourceUnreadable, QStringLiteral("Could not open %1: not a regular file").arg(sourcePath)});
    }
    if (expected && !matches(opened, *expected)) {
        ::close(source);
        return std::unexpected(sourceChanged(sourcePath));
    }
    QByteArray temporary = QFile::encodeName(audioFolder() + QStringLiteral("/.") + id + QStringLiteral(".m4a.XXXXXX"));
    const int copy = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (copy < 0) {
        const int error = errno;
        ::close(source);
        return std::unexpected(fileError(QStringLiteral("Could not create a temporary file for"), *target, error));
    }
    // mkostemp makes 0600; the copy is a new file like any other, so the umask decides.
    ::fchmod(copy, mode_t(AtomicFile::newFileMode()));

    auto result = copyBytes(source, copy, qint64(opened.st_size), sourcePath, *target);
    if (result) {
        // Checked again once the bytes are read: a writer that went on meanwhile, or a new version
        // renamed over the name, means the copy is not the file as it now stands.
        struct stat read {};
        struct stat named {};
        if (::fstat(source, &read) != 0 || !unchanged(opened, read)
            || ::lstat(FileNames::native(sourcePath).constData(), &named) != 0 || !unchanged(opened, named))
            result = std::unexpected(sourceChanged(sourcePath));
    }
    ::close(source);
    if (result && ::fsync(copy) != 0)
        result = std::unexpected(fileError(QStringLiteral("Could not sync"), *target, errno));
    if (::close(copy) != 0 && result)
        result = std::unexpected(fileError(QStringLiteral("Could not write"), *target, errno));
    if (result && !renameNoReplace(temporary, targetName)) {
        // Another writer put the copy in place meanwhile: theirs stands, as an existing copy would.
        if (errno != EEXIST)
            result = std::unexpected(fileError(QStringLiteral("Could not move into place"), *target, errno));
    }
    ::unlink(temporary.constData());  // after a rename there is nothing left to remove
    if (!result)
        return std::unexpected(result.error());
    (void)AtomicFile::syncFolder(audioFolder());
    return *target;
}

std::expected<void, InboxError> InboxWriter::writeNote(const QString& path, const Frontmatter& frontmatter,
                                                       const QString& body) const
{
    const auto written = AtomicFile::write(path, renderMarkdown(frontmatter, body).toUtf8());
    if (!written)
        return std::unexpected(InboxError{InboxError::Kind::File, written.error().text});
    return {};
}

std::expected<void, InboxError> InboxWriter::writeMarkdown(const Frontmatter& frontmatter, const QString& body) const
{
    const auto path = notePath(frontmatter.id);
    if (!path)
        return std::unexpected(path.error());
    return writeNote(*path, frontmatter, body);
}

std::expected<void, InboxError> InboxWriter::updateMirelonJobStatus(const QString& id, const QString& status) const
{
    const auto path = notePath(id);
    if (!path)
        return std::unexpected(path.error());
    auto frontmatter = readFrontmatter(*path);
    if (!frontmatter)
        return {};
    const auto body = readBody(*path);
    if (!body)
        return {};
    if (frontmatter->mirelonJobStatus == status)
        return {};
    frontmatter->mirelonJobStatus = status;
    return writeNote(*path, *frontmatter, *body);
}

}  // namespace harkwell
