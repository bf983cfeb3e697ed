#pragma once
// FileSystem over POSIX directory streams and stat(2).

#include "platform/filesystem/FileSystem.h"

namespace harkwell {

class LocalFileSystem final : public FileSystem {
public:
    std::expected<QList<FolderEntry>, ListingError> listFolder(const QString& path) override;
    std::optional<FileStat> stat(const QString& path) override;
    std::optional<FileStat> linkStat(const QString& path) override;
    bool exists(const QString& path) override;
    int readError(const QString& path) override;
};

}  // namespace harkwell
