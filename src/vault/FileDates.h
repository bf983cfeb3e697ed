#pragma once
// The dates the lists go by: a listed file's effective date under the timeBasis setting, today's
// files apart from the others, newest first. The menu and the search panel sort the same way.

#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"

#include <QDateTime>
#include <QList>

namespace harkwell {

class FileDates {
public:
    struct DaySplit {
        QList<FileEntry> today;   // newest first
        QList<FileEntry> others;  // newest first
    };

    // Modification, creation, or the later of the two (the creation date when they are equal).
    static QDateTime effective(const FileEntry& entry, TimeBasis basis);
    // Later first; entries of one instant keep their order.
    static void sortNewestFirst(QList<FileEntry>& entries, TimeBasis basis);
    // "Today" is the local calendar day of `now`.
    static DaySplit splitByToday(const QList<FileEntry>& entries, TimeBasis basis, const QDateTime& now);
    static bool isSameLocalDay(const QDateTime& a, const QDateTime& b);

    // The date of files whose date is not known (0001-01-01 UTC), and the look-back that admits all.
    static QDateTime distantPast();
};

}  // namespace harkwell
