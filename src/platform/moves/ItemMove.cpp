#include "platform/moves/ItemMove.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>

namespace harkwell {

namespace {

FileError systemError(int error) { return FileError{QString::fromLocal8Bit(std::strerror(error))}; }

bool somethingAt(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

std::expected<void, FileError> copyThenRemove(const QByteArray& from, const QByteArray& to)
{
    namespace fs = std::filesystem;
    const fs::path source(from.toStdString());
    const fs::path destination(to.toStdString());
    // The copy is made under a name of its own beside the destination and put in place only whole,
    // without replacing anything, so a failure never removes what another writer put there.
    const fs::path staging = destination.parent_path()
                             / ("." + destination.filename().string() + ".moving-"
                                + QUuid::createUuid().toString(QUuid::Id128).left(12).toStdString());
    std::error_code code;
    fs::copy(source, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, code);
    if (!code && ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) != 0)
        code = std::error_code(errno, std::generic_category());
    if (code) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        return std::unexpected(FileError{QString::fromStdString(code.message())});
    }
    fs::remove_all(source, code);
    if (code)
        return std::unexpected(FileError{QString::fromStdString(code.message())});
    return {};
}

}  // namespace

std::expected<void, FileError> ItemMove::move(const QString& source, const QString& destination)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return {};
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without RENAME_NOREPLACE: the check and the rename are two steps there.
        if (somethingAt(destination))
            return std::unexpected(systemError(EEXIST));
        if (::rename(from.constData(), to.constData()) == 0)
            return {};
        error = errno;
    }
    if (error != EXDEV)
        return std::unexpected(systemError(error));
    if (somethingAt(destination))
        return std::unexpected(systemError(EEXIST));
    return copyThenRemove(from, to);
}

}  // namespace harkwell
