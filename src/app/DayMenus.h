#pragma once
// The pieces every file list of the menu is made of: the file row, grouping by top-level folder
// and by calendar day, the day submenus with their "Older" submenu by month, and the choice
// between a flat list and day submenus. Days are local calendar days.

#include "app/MenuRow.h"
#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"

#include <QDate>
#include <QDateTime>
#include <QUrl>

#include <functional>
#include <optional>

namespace harkwell {

class DayMenus {
public:
    using Open = std::function<void(const QUrl&)>;

    struct DayGroup {
        QDate day;
        QList<FileEntry> files;  // newest first
    };
    struct FolderGroup {
        QString folder;
        QList<FileEntry> files;  // in the order they were given
    };
    // One day submenu: its day, the number its label shows and what it holds, built when it opens.
    struct DayItem {
        QDate day;
        qsizetype count = 0;
        std::function<MenuRows()> content;
    };

    static constexpr int kDefaultThreshold = 15;
    static constexpr int kDefaultDayLimit = 10;

    // Unset gives the default; anything below 1 gives 1.
    static int threshold(const std::optional<int>& setting);
    static int dayLimit(const std::optional<int>& setting);
    static TimeBasis basis(const AppSettings& settings) { return settings.timeBasis.value_or(TimeBasis::Modification); }

    // "name  —  domain / type", the domain alone, or the parent folder when there is no domain.
    static QString fileLabel(const FileEntry& file);
    static MenuRow fileRow(const FileEntry& file, const Open& open);
    static MenuRows fileRows(const QList<FileEntry>& files, const Open& open);
    // A submenu of file rows that makes its rows only when it opens.
    static MenuRow fileSubmenu(QString label, const QList<FileEntry>& files, const Open& open);

    // By the first folder of the relative path, "(root)" for a file at the top; more files
    // first, then by name.
    static QList<FolderGroup> groupByFolder(const QList<FileEntry>& files);
    // Newest day first; inside a day, newest file first, files of one instant in their order.
    static QList<DayGroup> groupByDay(const QList<FileEntry>& files, TimeBasis basis);

    // The first `limit` days as submenus, the rest in "Older" by month, newest month first.
    static MenuRows dayMenus(const QList<DayItem>& days, int limit, const QDateTime& now);
    // A submenu per day for more files than `threshold`, else one row per file as given.
    static MenuRows flatOrByDay(const QList<FileEntry>& files, int threshold, TimeBasis basis, int limit,
                                const QDateTime& now, const Open& open);

    static QString dayLabel(const QDate& day, const QDateTime& now);
    // The stand-alone month name and the year, "January 2026" in English.
    static QString monthLabel(const QDate& month);

    // Names compared by Unicode scalar after canonical composition, as the delivery folders sort.
    static bool scalarLess(const QString& a, const QString& b);
};

}  // namespace harkwell
