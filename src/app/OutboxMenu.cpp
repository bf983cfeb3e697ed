#include "app/OutboxMenu.h"

#include "platform/paths/Paths.h"
#include "vault/FileDates.h"

#include <algorithm>

namespace harkwell {

namespace {

const QString kSeparator = QStringLiteral(" \u00b7 ");

QString loose() { return QString::fromLatin1(OutboxMenu::kLoose); }

void mail(const OutboxMenu::Actions& actions, const QStringList& paths, const std::optional<QString>& subject)
{
    if (actions.mail)
        actions.mail(paths, subject);
}

void open(const OutboxMenu::Actions& actions, const QUrl& url)
{
    if (actions.open)
        actions.open(url);
}

bool folderDescending(const DayMenus::FolderGroup& a, const DayMenus::FolderGroup& b)
{
    return DayMenus::scalarLess(b.folder, a.folder);
}

}  // namespace

QList<DayMenus::FolderGroup> OutboxMenu::groupByDeliveryFolder(const QList<FileEntry>& files)
{
    QList<DayMenus::FolderGroup> groups;
    for (const FileEntry& file : files) {
        const QStringList pieces = file.relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        const QString key = pieces.size() > 2 ? pieces[1] : loose();
        auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.folder == key; });
        if (group == groups.end())
            groups.append({key, {file}});
        else
            group->files.append(file);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const DayMenus::FolderGroup& a, const DayMenus::FolderGroup& b) {
        const bool aLoose = a.folder == loose();
        const bool bLoose = b.folder == loose();
        if (aLoose || bLoose)
            return aLoose && !bLoose;
        return folderDescending(a, b);
    });
    return groups;
}

std::optional<QDate> OutboxMenu::folderNameDate(const QString& folder)
{
    const QString head = folder.left(6);
    if (head.size() != 6 || !std::all_of(head.begin(), head.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const QDate date(2000 + head.left(2).toInt(), head.mid(2, 2).toInt(), head.mid(4, 2).toInt());
    if (!date.isValid())
        return std::nullopt;
    return date;
}

QList<OutboxMenu::OutboxDay> OutboxMenu::outboxDays(const QList<DayMenus::FolderGroup>& groups, TimeBasis basis)
{
    QList<OutboxDay> days;
    for (const DayMenus::FolderGroup& group : groups) {
        if (group.folder == loose() || group.files.isEmpty())
            continue;
        std::optional<QDate> day = folderNameDate(group.folder);
        if (!day) {
            QDateTime latest;
            for (const FileEntry& file : group.files) {
                const QDateTime date = FileDates::effective(file, basis);
                if (!latest.isValid() || date > latest)
                    latest = date;
            }
            day = latest.toLocalTime().date();
        }
        auto entry = std::find_if(days.begin(), days.end(), [&](const OutboxDay& d) { return d.day == *day; });
        if (entry == days.end())
            days.append({*day, {group}});
        else
            entry->folders.append(group);
    }
    for (OutboxDay& day : days)
        std::stable_sort(day.folders.begin(), day.folders.end(), folderDescending);
    std::sort(days.begin(), days.end(), [](const OutboxDay& a, const OutboxDay& b) { return a.day > b.day; });
    return days;
}

MenuRows OutboxMenu::outboxRows(const FileEntry& file, const Actions& actions)
{
    return {DayMenus::fileRow(file, actions.open),
            MenuRow::button(QStringLiteral("Mail ") + file.filename,
                            [actions, path = file.fullPath.toLocalFile()] { mail(actions, {path}, std::nullopt); })};
}

MenuRow OutboxMenu::deliveryMenu(const DayMenus::FolderGroup& group, const AppSettings& settings, const Actions& actions)
{
    if (group.folder == loose()) {
        MenuRows content;
        for (const FileEntry& file : group.files)
            content << outboxRows(file, actions);
        return MenuRow::submenu(QStringLiteral("%1 (%2)").arg(loose()).arg(group.files.size()), content);
    }

    const QString folder = Paths::expandTilde(settings.vaultPath) + QStringLiteral("/_outbox/") + group.folder;
    const QMap<QString, QString> manifest = actions.manifestFields ? actions.manifestFields(folder) : QMap<QString, QString>{};

    QList<FileEntry> visible;
    for (const FileEntry& file : group.files)
        if (!file.filename.startsWith(QLatin1Char('_')) && file.filename != QLatin1String("README.md"))
            visible.append(file);
    std::stable_sort(visible.begin(), visible.end(),
                     [](const FileEntry& a, const FileEntry& b) { return DayMenus::scalarLess(a.filename, b.filename); });

    QString label = QStringLiteral("%1 (%2)").arg(group.folder, QString::number(visible.size()));
    if (manifest.contains(QStringLiteral("Status")))
        label += kSeparator + manifest.value(QStringLiteral("Status"));

    MenuRows content;
    QStringList summary;
    for (const char* field : {"Kanal", "Kontakt", "\u00c4mne"})
        if (const QString key = QString::fromUtf8(field); manifest.contains(key))
            summary << manifest.value(key);
    if (!summary.isEmpty())
        content << MenuRow::caption(summary.join(kSeparator));
    content << MenuRow::button(QStringLiteral("Open folder"), [actions, folder] { open(actions, QUrl::fromLocalFile(folder)); });
    if (!manifest.isEmpty())
        content << MenuRow::button(QStringLiteral("Open manifest"), [actions, folder] {
            open(actions, QUrl::fromLocalFile(folder + QStringLiteral("/_manifest.md")));
        });
    if (!visible.isEmpty()) {
        QStringList paths;
        for (const FileEntry& file : visible)
            paths << file.fullPath.toLocalFile();
        const QString subjectKey = QStringLiteral("\u00c4mne");
        const std::optional<QString> subject =
            manifest.contains(subjectKey) ? std::optional(manifest.value(subjectKey)) : std::nullopt;
        content << MenuRow::button(QStringLiteral("Mail all files (%1)\u2026").arg(visible.size()),
                                   [actions, paths, subject] { mail(actions, paths, subject); });
    }
    content << MenuRow::separator();
    for (const FileEntry& file : visible)
        content << MenuRow::button(file.filename, [actions, url = file.fullPath] { open(actions, url); });
    return MenuRow::submenu(label, content);
}

MenuRows OutboxMenu::rows(const QList<FileEntry>& files, const AppSettings& settings, const QDateTime& now,
                          const Actions& actions)
{
    if (files.isEmpty())
        return {};
    const QList<DayMenus::FolderGroup> groups = groupByDeliveryFolder(files);
    const qsizetype folders =
        std::count_if(groups.begin(), groups.end(), [](const auto& g) { return g.folder != loose(); });

    MenuRows content;
    if (files.size() <= DayMenus::threshold(settings.outboxGroupThreshold)) {
        for (const FileEntry& file : files)
            content << outboxRows(file, actions);
    } else {
        if (!groups.isEmpty() && groups.first().folder == loose())
            content << deliveryMenu(groups.first(), settings, actions);
        QList<DayMenus::DayItem> days;
        for (const OutboxDay& day : outboxDays(groups, DayMenus::basis(settings))) {
            days.append({day.day, day.folders.size(), [folders = day.folders, settings, actions] {
                             MenuRows folderMenus;
                             for (const DayMenus::FolderGroup& group : folders)
                                 folderMenus << deliveryMenu(group, settings, actions);
                             return folderMenus;
                         }});
        }
        content << DayMenus::dayMenus(days, DayMenus::dayLimit(settings.menuDayLimit), now);
    }
    return {MenuRow::submenu(QStringLiteral("Outbox (%1)").arg(folders), content)};
}

}  // namespace harkwell
