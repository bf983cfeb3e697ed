#pragma once
// DiskSpace through statvfs. Linux keeps nothing the system would free on demand, so the space
// for important work is the space available.

#include "platform/disk/DiskSpace.h"

struct statvfs;

namespace harkwell {

class StatvfsDiskSpace final : public DiskSpace {
public:
    std::expected<DiskCapacity, DiskSpaceError> capacity(const QString& folder) override;
    // What a volume's figures leave this user: the blocks free to unprivileged users, not the
    // free total that includes root's reserve.
    static DiskCapacity capacityOf(const struct statvfs& info);
};

}  // namespace harkwell
