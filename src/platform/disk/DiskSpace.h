#pragma once
// How much room the volume holding a folder has left for the recorder's files.

#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct DiskCapacity {
    std::optional<qint64> available;       // bytes this user may still write
    std::optional<qint64> importantUsage;  // bytes for work the user asked for (with what the system can free)
};

struct DiskSpaceError {
    QString text;  // for the log
};

class DiskSpace {
public:
    virtual ~DiskSpace() = default;
    virtual std::expected<DiskCapacity, DiskSpaceError> capacity(const QString& folder) = 0;
};

}  // namespace harkwell
