#pragma once
// The dates the lists go by: a listed file's effective date under the timeBasis setting, today's
// files apart from the others, newest first. The menu and the search panel sort the same way.

#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"
#include "foundation/FileEntryList.h"

#include <QDateTime>
#include <QList>

#include <functional>

namespace harkwell {

class FileDates {
public:
    struct DaySplit {
        FileEntryList today;   // newest first
        FileEntryList others;  // newest first
    };

    // The local calendar day of a moment as an interval of instants [startMs, endMs), worked out
    // once so that a loop over many entries compares numbers, not local dates.
    struct Day {
        qint64 startMs = 0;
        qint64 endMs = 0;
        static Day of(const QDateTime& moment);
        bool contains(qint64 ms) const { return ms >= startMs && ms < endMs; }
        bool operator==(const Day&) const = default;
    };

    // Modification, creation, or the later of the two (the creation date when they are equal).
    static QDateTime effective(const FileEntry& entry, TimeBasis basis);
    static qint64 effectiveMs(const FileEntry& entry, TimeBasis basis);
    // Later first; entries of one instant keep their order.
    static void sortNewestFirst(QList<FileEntry>& entries, TimeBasis basis);
    // "Today" is the local calendar day of `now`. The entries of `sources` one after another,
    // without those whose names `isExcluded` (when given) leaves out; the lists point into `sources`.
    static DaySplit splitByToday(const QList<QList<FileEntry>>& sources, TimeBasis basis, const QDateTime& now,
                                 const std::function<bool(const QString&)>& isExcluded = {});
    static DaySplit splitByToday(const QList<FileEntry>& entries, TimeBasis basis, const QDateTime& now)
    {
        return splitByToday(QList<QList<FileEntry>>{entries}, basis, now);
    }
    static bool isSameLocalDay(const QDateTime& a, const QDateTime& b);

    // The date of files whose date is not known (0001-01-01 UTC), and the look-back that admits all.
    static QDateTime distantPast();
};

}  // namespace harkwell
