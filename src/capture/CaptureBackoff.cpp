#include "capture/CaptureBackoff.h"

#include <algorithm>

namespace harkwell {

bool CaptureBackoff::sameFile(const std::optional<FileStat>& a, const std::optional<FileStat>& b)
{
    if (!a || !b)
        return !a && !b;
    return a->sameContentAs(*b) && a->sameFileAs(*b) && a->isRegular == b->isRegular;
}

bool CaptureBackoff::found(const QString& folderId, const QString& name, const std::optional<FileStat>& seen,
                           const QString& state, Wait wait)
{
    QMutexLocker locker(&m_lock);
    Entry& entry = m_entries[folderId][name];
    const bool isNew = entry.state != state;
    if (wait == Wait::None)
        entry.step = 0;
    else if (isNew || entry.step == 0)
        entry.step = kFirstWaitPolls;
    else
        entry.step = std::min(entry.step * 2, kLongestWaitPolls);
    entry.remaining = entry.step;
    entry.state = state;
    entry.seen = seen;
    return isNew;
}

bool CaptureBackoff::waits(const QString& folderId, const QString& name, const std::optional<FileStat>& seen)
{
    QMutexLocker locker(&m_lock);
    const auto folder = m_entries.find(folderId);
    if (folder == m_entries.end())
        return false;
    const auto entry = folder->find(name);
    if (entry == folder->end())
        return false;
    if (!sameFile(entry->seen, seen)) {
        // Its state is kept, so the same failure after the change is not said again.
        entry->seen = seen;
        entry->step = 0;
        entry->remaining = 0;
        return false;
    }
    if (entry->remaining == 0)
        return false;
    --entry->remaining;
    return true;
}

void CaptureBackoff::clear(const QString& folderId, const QString& name)
{
    QMutexLocker locker(&m_lock);
    if (const auto folder = m_entries.find(folderId); folder != m_entries.end())
        folder->remove(name);
}

void CaptureBackoff::keepOnly(const QString& folderId, const QSet<QString>& names)
{
    QMutexLocker locker(&m_lock);
    const auto folder = m_entries.find(folderId);
    if (folder == m_entries.end())
        return;
    folder->removeIf([&](const QHash<QString, Entry>::iterator& entry) { return !names.contains(entry.key()); });
}

}  // namespace harkwell
