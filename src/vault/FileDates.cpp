#include "vault/FileDates.h"

#include <algorithm>

namespace harkwell {

QDateTime FileDates::effective(const FileEntry& entry, TimeBasis basis)
{
    switch (basis) {
    case TimeBasis::Modification:
        return entry.modificationDate;
    case TimeBasis::Creation:
        return entry.creationDate;
    case TimeBasis::Either:
        return entry.modificationDate > entry.creationDate ? entry.modificationDate : entry.creationDate;
    }
    return entry.modificationDate;
}

void FileDates::sortNewestFirst(QList<FileEntry>& entries, TimeBasis basis)
{
    std::stable_sort(entries.begin(), entries.end(), [basis](const FileEntry& a, const FileEntry& b) {
        return effective(a, basis) > effective(b, basis);
    });
}

FileDates::DaySplit FileDates::splitByToday(const QList<FileEntry>& entries, TimeBasis basis, const QDateTime& now)
{
    DaySplit split;
    for (const FileEntry& entry : entries)
        (isSameLocalDay(effective(entry, basis), now) ? split.today : split.others).append(entry);
    sortNewestFirst(split.today, basis);
    sortNewestFirst(split.others, basis);
    return split;
}

bool FileDates::isSameLocalDay(const QDateTime& a, const QDateTime& b)
{
    return a.isValid() && b.isValid() && a.toLocalTime().date() == b.toLocalTime().date();
}

QDateTime FileDates::distantPast() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC); }

}  // namespace harkwell
