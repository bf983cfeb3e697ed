#include "platform/disk/StatvfsDiskSpace.h"

#include <QFile>

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace harkwell {

std::expected<DiskCapacity, DiskSpaceError> StatvfsDiskSpace::capacity(const QString& folder)
{
    struct statvfs info {};
    if (statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return std::unexpected(DiskSpaceError{QString::fromLocal8Bit(std::strerror(errno))});
    return capacityOf(info);
}

DiskCapacity StatvfsDiskSpace::capacityOf(const struct statvfs& info)
{
    const qint64 available = qint64(info.f_bavail) * qint64(info.f_frsize);
    return DiskCapacity{available, available};
}

}  // namespace harkwell
