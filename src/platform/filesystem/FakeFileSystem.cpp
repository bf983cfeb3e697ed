#include "platform/filesystem/FakeFileSystem.h"

#include <cstring>

namespace harkwell {

void FakeFileSystem::denyListing(const QString& folder, int error)
{
    QMutexLocker locker(&m_lock);
    m_deniedListings.insert(folder, error);
}

void FakeFileSystem::failStat(const QString& path)
{
    QMutexLocker locker(&m_lock);
    m_failedStats.insert(path);
}

void FakeFileSystem::scriptSizes(const QString& path, QList<qint64> sizes)
{
    QMutexLocker locker(&m_lock);
    m_sizeScripts.insert(path, std::move(sizes));
}

void FakeFileSystem::loseAfterFirstStat(const QString& path)
{
    QMutexLocker locker(&m_lock);
    m_lostAfterFirst.insert(path);
}

void FakeFileSystem::failOpen(const QString& path, int error)
{
    QMutexLocker locker(&m_lock);
    m_failedOpens.insert(path, error);
}

void FakeFileSystem::clearFaults()
{
    QMutexLocker locker(&m_lock);
    m_failedOpens.clear();
    m_deniedListings.clear();
    m_sizeScripts.clear();
    m_failedStats.clear();
    m_lostAfterFirst.clear();
}

int FakeFileSystem::statCount(const QString& path) const
{
    QMutexLocker locker(&m_lock);
    return m_stats.value(path);
}

std::expected<QList<FolderEntry>, ListingError> FakeFileSystem::listFolder(const QString& path)
{
    {
        QMutexLocker locker(&m_lock);
        if (auto denied = m_deniedListings.constFind(path); denied != m_deniedListings.cend())
            return std::unexpected(ListingError{*denied, QString::fromLocal8Bit(std::strerror(*denied))});
    }
    return m_local.listFolder(path);
}

std::optional<FileStat> FakeFileSystem::stat(const QString& path) { return faultedStat(path, true); }

std::optional<FileStat> FakeFileSystem::linkStat(const QString& path) { return faultedStat(path, false); }

std::optional<FileStat> FakeFileSystem::faultedStat(const QString& path, bool followLinks)
{
    QMutexLocker locker(&m_lock);
    const int count = ++m_stats[path];
    if (m_failedStats.contains(path) || (count > 1 && m_lostAfterFirst.contains(path)))
        return std::nullopt;
    std::optional<FileStat> info = followLinks ? m_local.stat(path) : m_local.linkStat(path);
    if (auto script = m_sizeScripts.find(path); info && script != m_sizeScripts.end() && !script->isEmpty()) {
        info->size = script->size() > 1 ? script->takeFirst() : script->first();
    }
    return info;
}

bool FakeFileSystem::exists(const QString& path) { return m_local.exists(path); }

int FakeFileSystem::readError(const QString& path)
{
    {
        QMutexLocker locker(&m_lock);
        if (const auto failed = m_failedOpens.constFind(path); failed != m_failedOpens.cend())
            return *failed;
    }
    return m_local.readError(path);
}

}  // namespace harkwell
