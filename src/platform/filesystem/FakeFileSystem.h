#pragma once
// The local file system with faults laid over it: a folder whose listing fails, a file whose stat
// fails, a file whose size reads differently each time (a sync in flight), a file that cannot be
// opened whatever the caller's rights.

#include "platform/filesystem/LocalFileSystem.h"

#include <QHash>
#include <QSet>
#include <QMutex>

namespace harkwell {

class FakeFileSystem final : public FileSystem {
public:
    void denyListing(const QString& folder, int error);
    void failStat(const QString& path);
    // Each stat of path answers the next size; the last one then repeats.
    void scriptSizes(const QString& path, QList<qint64> sizes);
    // Stats of the path, after the first one, answer nothing.
    void loseAfterFirstStat(const QString& path);
    // Opening the file for reading fails with `error`, whoever asks (root included).
    void failOpen(const QString& path, int error);
    void clearFaults();
    int statCount(const QString& path) const;

    std::expected<QList<FolderEntry>, ListingError> listFolder(const QString& path) override;
    std::optional<FileStat> stat(const QString& path) override;
    std::optional<FileStat> linkStat(const QString& path) override;
    bool exists(const QString& path) override;
    int readError(const QString& path) override;

private:
    std::optional<FileStat> faultedStat(const QString& path, bool followLinks);

    LocalFileSystem m_local;
    mutable QMutex m_lock;  // guards every field below
    QHash<QString, int> m_deniedListings;
    QHash<QString, QList<qint64>> m_sizeScripts;
    QHash<QString, int> m_stats;
    QSet<QString> m_failedStats;
    QSet<QString> m_lostAfterFirst;
    QHash<QString, int> m_failedOpens;
};

}  // namespace harkwell
