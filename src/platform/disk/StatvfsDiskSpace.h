#pragma once
// DiskSpace through statvfs. Linux keeps nothing the system would free on demand, so the space
// for important work is the space available.

#include "platform/disk/DiskSpace.h"

namespace harkwell {

class StatvfsDiskSpace final : public DiskSpace {
public:
    std::expected<DiskCapacity, DiskSpaceError> capacity(const QString& folder) override;
};

}  // namespace harkwell
