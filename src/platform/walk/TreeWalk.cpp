#include "platform/walk/TreeWalk.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace harkwell {

namespace {

WalkError walkError(const QString& folder, int code)
{
    return WalkError{QStringLiteral("Could not read the folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(code)))};
}

QDateTime fromTimestamp(const struct statx_timestamp& stamp)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1'000'000, Qt::UTC);
}

// Takes ownership of `fd`; the names of the folder's entries other than "." and "..", in byte order.
std::optional<std::vector<QByteArray>> readNames(int fd)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

class Walker {
public:
    Walker(const WalkRules& rules, Clock& clock, const QDateTime& deadline)
        : m_rules(rules), m_clock(clock), m_deadline(deadline)
    {
    }

    // `fd` is an open folder, owned by the caller; `relative` its path below the root ("" for the root).
    void walkFolder(int fd, const QString& root, const QString& relative, int depth)
    {
        // A second descriptor for the stream, so `fd` stays usable for the entries' statx and openat.
        const int streamFd = ::dup(fd);
        if (streamFd < 0)
            return;
        const auto names = readNames(streamFd);
        if (!names)
            return;
        for (const QByteArray& rawName : *names) {
            if (m_done)
                return;
            if (m_deadline.isValid() && m_clock.now() >= m_deadline) {
                m_result.stoppedAtDeadline = true;
                m_done = true;
                return;
            }
            visit(fd, root, relative, depth, rawName);
        }
    }

    WalkResult take() { return std::move(m_result); }

private:
    void visit(int folderFd, const QString& root, const QString& relative, int depth, const QByteArray& rawName)
    {
        const QString name = QFile::decodeName(rawName);
        if (m_rules.skipHidden && name.startsWith(QLatin1Char('.')))
            return;
        if (m_rules.prunedNames.contains(name))
            return;

        struct statx info {};
        if (::statx(folderFd, rawName.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                    STATX_TYPE | STATX_MTIME | STATX_BTIME, &info) != 0)
            return;
        const QString entryRelative = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;

        if (S_ISDIR(info.stx_mode)) {
            if (m_rules.maxDepth && depth >= *m_rules.maxDepth)
                return;
            const int childFd = ::openat(folderFd, rawName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0)
                return;
            walkFolder(childFd, root, entryRelative, depth + 1);
            ::close(childFd);
            return;
        }
        if (!S_ISREG(info.stx_mode) || !hasWantedExtension(name))
            return;
        const QDateTime modified = fromTimestamp(info.stx_mtime);
        if (m_rules.modifiedSince.isValid() && modified < m_rules.modifiedSince)
            return;
        std::optional<QDateTime> born;
        if (info.stx_mask & STATX_BTIME)
            born = fromTimestamp(info.stx_btime);
        m_result.files.append(WalkedFile{root + QLatin1Char('/') + entryRelative, entryRelative, modified, born});
        if (m_rules.maxFiles && m_result.files.size() >= *m_rules.maxFiles)
            m_done = true;
    }

    bool hasWantedExtension(const QString& name) const
    {
        if (!m_rules.extensions)
            return true;
        for (const QString& extension : *m_rules.extensions)
            if (name.size() > extension.size() && name.endsWith(extension)
                && name.at(name.size() - extension.size() - 1) == QLatin1Char('.'))
                return true;
        return false;
    }

    const WalkRules& m_rules;
    Clock& m_clock;
    QDateTime m_deadline;
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

std::expected<WalkResult, WalkError> TreeWalk::walk(const QString& root, const WalkRules& rules, Clock& clock,
                                                    const QDateTime& deadline)
{
    const QString base = withoutTrailingSlashes(root);
    const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(base, errno));
    Walker walker(rules, clock, deadline);
    walker.walkFolder(fd, base == QLatin1String("/") ? QString() : base, QString(), 1);
    ::close(fd);
    return walker.take();
}

std::expected<QStringList, WalkError> TreeWalk::entryNames(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(walkError(folder, errno));
    const auto names = readNames(fd);
    if (!names)
        return std::unexpected(walkError(folder, errno));
    QStringList visible;
    for (const QByteArray& name : *names)
        if (!name.startsWith('.'))
            visible.append(QFile::decodeName(name));
    return visible;
}

}  // namespace harkwell
