#include "app/DayMenus.h"

#include "app/DayLabel.h"
#include "vault/FileDates.h"

#include <QLocale>

#include <algorithm>

namespace harkwell {

int DayMenus::threshold(const std::optional<int>& setting) { return setting ? std::max(*setting, 1) : kDefaultThreshold; }

int DayMenus::dayLimit(const std::optional<int>& setting) { return setting ? std::max(*setting, 1) : kDefaultDayLimit; }

QString DayMenus::fileLabel(const FileEntry& file)
{
    QString detail;
    if (file.domain)
        detail = file.fileType ? *file.domain + QStringLiteral(" / ") + *file.fileType : *file.domain;
    else
        detail = file.parentFolder;
    return file.filename + QStringLiteral("  \u2014  ") + detail;
}

MenuRow DayMenus::fileRow(const FileEntry& file, const Open& open)
{
    return MenuRow::button(fileLabel(file), [open, url = file.fullPath] {
        if (open)
            open(url);
    });
}

MenuRows DayMenus::fileRows(const QList<FileEntry>& files, const Open& open)
{
    MenuRows rows;
    rows.reserve(files.size());
    for (const FileEntry& file : files)
        rows << fileRow(file, open);
    return rows;
}

MenuRow DayMenus::fileSubmenu(QString label, const QList<FileEntry>& files, const Open& open)
{
    return MenuRow::lazySubmenu(std::move(label), [files, open] { return fileRows(files, open); });
}

QList<DayMenus::FolderGroup> DayMenus::groupByFolder(const QList<FileEntry>& files)
{
    QList<FolderGroup> groups;
    for (const FileEntry& file : files) {
        const QStringList pieces = file.relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        const QString key = pieces.size() >= 2 ? pieces.first() : QStringLiteral("(root)");
        auto group = std::find_if(groups.begin(), groups.end(), [&](const FolderGroup& g) { return g.folder == key; });
        if (group == groups.end())
            groups.append({key, {file}});
        else
            group->files.append(file);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const FolderGroup& a, const FolderGroup& b) {
        if (a.files.size() != b.files.size())
            return a.files.size() > b.files.size();
        return a.folder < b.folder;
    });
    return groups;
}

QList<DayMenus::DayGroup> DayMenus::groupByDay(const QList<FileEntry>& files, TimeBasis basis)
{
    QList<DayGroup> groups;
    for (const FileEntry& file : files) {
        const QDate day = FileDates::effective(file, basis).toLocalTime().date();
        auto group = std::find_if(groups.begin(), groups.end(), [&](const DayGroup& g) { return g.day == day; });
        if (group == groups.end())
            groups.append({day, {file}});
        else
            group->files.append(file);
    }
    for (DayGroup& group : groups)
        FileDates::sortNewestFirst(group.files, basis);
    std::sort(groups.begin(), groups.end(), [](const DayGroup& a, const DayGroup& b) { return a.day > b.day; });
    return groups;
}

QString DayMenus::dayLabel(const QDate& day, const QDateTime& now) { return DayLabel::format(day.startOfDay(), now); }

QString DayMenus::monthLabel(const QDate& month)
{
    const QLocale locale;
    return locale.standaloneMonthName(month.month(), QLocale::LongFormat) + QLatin1Char(' ') + QString::number(month.year());
}

MenuRows DayMenus::dayMenus(const QList<DayItem>& days, int limit, const QDateTime& now)
{
    const auto daySubmenu = [&now](const DayItem& item) {
        return MenuRow::lazySubmenu(QStringLiteral("%1 (%2)").arg(dayLabel(item.day, now)).arg(item.count), item.content);
    };

    MenuRows rows;
    const qsizetype shown = std::min<qsizetype>(std::max(limit, 1), days.size());
    for (qsizetype i = 0; i < shown; ++i)
        rows << daySubmenu(days[i]);
    if (shown == days.size())
        return rows;

    struct Month {
        QDate first;
        qsizetype count = 0;
        MenuRows days;
    };
    QList<Month> months;
    qsizetype olderCount = 0;
    for (qsizetype i = shown; i < days.size(); ++i) {
        const DayItem& item = days[i];
        const QDate first(item.day.year(), item.day.month(), 1);
        auto month = std::find_if(months.begin(), months.end(), [&](const Month& m) { return m.first == first; });
        if (month == months.end())
            month = months.insert(months.end(), Month{first, 0, {}});
        month->count += item.count;
        month->days << daySubmenu(item);
        olderCount += item.count;
    }
    std::stable_sort(months.begin(), months.end(), [](const Month& a, const Month& b) { return a.first > b.first; });

    MenuRows older;
    for (const Month& month : months)
        older << MenuRow::submenu(QStringLiteral("%1 (%2)").arg(monthLabel(month.first)).arg(month.count), month.days);
    rows << MenuRow::submenu(QStringLiteral("Older (%1)").arg(olderCount), older);
    return rows;
}

MenuRows DayMenus::flatOrByDay(const QList<FileEntry>& files, int threshold, TimeBasis basis, int limit,
                               const QDateTime& now, const Open& open)
{
    if (files.size() <= threshold)
        return fileRows(files, open);
    QList<DayItem> days;
    for (const DayGroup& group : groupByDay(files, basis))
        days.append({group.day, group.files.size(), [files = group.files, open] { return fileRows(files, open); }});
    return dayMenus(days, limit, now);
}

bool DayMenus::scalarLess(const QString& a, const QString& b)
{
    const QList<uint> x = a.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> y = b.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

}  // namespace harkwell
