#pragma once
// Disk capacities that tests set (directly, or as a volume's statvfs figures read the way the
// Linux backend reads them), or a volume that cannot be asked.

#include "platform/disk/DiskSpace.h"
#include "platform/disk/StatvfsDiskSpace.h"

#include <sys/statvfs.h>

#include <QStringList>

namespace harkwell {

class FakeDiskSpace final : public DiskSpace {
public:
    std::expected<DiskCapacity, DiskSpaceError> capacity(const QString& folder) override
    {
        m_asked.append(folder);
        if (m_failure)
            return std::unexpected(DiskSpaceError{*m_failure});
        return m_capacity;
    }

    void setCapacity(DiskCapacity capacity) { m_capacity = capacity; }
    void setFileSystem(const struct statvfs& info) { m_capacity = StatvfsDiskSpace::capacityOf(info); }
    void setFailure(std::optional<QString> text) { m_failure = std::move(text); }
    const QStringList& asked() const { return m_asked; }

private:
    DiskCapacity m_capacity{qint64(1) << 40, qint64(1) << 40};
    std::optional<QString> m_failure;
    QStringList m_asked;
};

}  // namespace harkwell
