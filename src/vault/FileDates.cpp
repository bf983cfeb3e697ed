#include "vault/FileDates.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

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

qint64 FileDates::effectiveMs(const FileEntry& entry, TimeBasis basis)
{
    const QDateTime date = effective(entry, basis);
    return date.isValid() ? date.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
}

FileDates::Day FileDates::Day::of(const QDateTime& moment)
{
    const QDate date = moment.toLocalTime().date();
    return Day{date.startOfDay().toMSecsSinceEpoch(), date.addDays(1).startOfDay().toMSecsSinceEpoch()};
}

void FileDates::sortNewestFirst(QList<FileEntry>& entries, TimeBasis basis)
{
    // Each entry's date read once, as a number: the comparisons then cost nothing.
    std::vector<std::pair<qint64, qsizetype>> keys;
    keys.reserve(entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i)
        keys.emplace_back(effectiveMs(entries.at(i), basis), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    bool inOrder = true;
    for (qsizetype i = 0; i < qsizetype(keys.size()) && inOrder; ++i)
        inOrder = keys[i].second == i;
    if (inOrder)
        return;
    QList<FileEntry> sorted;
    sorted.reserve(entries.size());
    for (const auto& [ms, index] : keys)
        sorted.append(entries.at(index));
    entries = std::move(sorted);
}

FileDates::DaySplit FileDates::splitByToday(const QList<QList<FileEntry>>& sources, TimeBasis basis,
                                            const QDateTime& now, const std::function<bool(const QString&)>& isExcluded)
{
    // Each entry's date read once, as a number, and only pointers moved by the sort.
    using Keyed = std::pair<qint64, const FileEntry*>;
    std::vector<Keyed> today;
    std::vector<Keyed> others;
    const std::optional<Day> day = now.isValid() ? std::optional(Day::of(now)) : std::nullopt;
    for (const QList<FileEntry>& source : sources) {
        for (const FileEntry& entry : source) {
            if (isExcluded && isExcluded(entry.filename))
                continue;
            const qint64 ms = effectiveMs(entry, basis);
            (day && day->contains(ms) ? today : others).emplace_back(ms, &entry);
        }
    }
    const auto newestFirst = [&sources](std::vector<Keyed>& keyed) {
        std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.first > b.first; });
        QList<const FileEntry*> entries;
        entries.reserve(qsizetype(keyed.size()));
        for (const auto& [ms, entry] : keyed)
            entries.append(entry);
        return FileEntryList(sources, std::move(entries));
    };
    return DaySplit{newestFirst(today), newestFirst(others)};
}

bool FileDates::isSameLocalDay(const QDateTime& a, const QDateTime& b)
{
    return a.isValid() && b.isValid() && a.toLocalTime().date() == b.toLocalTime().date();
}

QDateTime FileDates::distantPast() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC); }

}  // namespace harkwell
