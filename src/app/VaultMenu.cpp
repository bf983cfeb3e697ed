#include "app/VaultMenu.h"

#include "foundation/Counted.h"
#include "vault/FileDates.h"

#include <algorithm>

namespace harkwell {

MenuRow VaultMenu::today(const Inputs& inputs, const DayMenus::Open& open)
{
    const FileEntryList today = inputs.lists.today;
    const int threshold = DayMenus::threshold(inputs.settings.todayGroupThreshold);
    return MenuRow::lazySubmenu(QStringLiteral("Today (%1)").arg(today.size()), [today, threshold, open] {
        if (today.isEmpty())
            return MenuRows{MenuRow::caption(QStringLiteral("No files created today"))};
        const QList<FileEntry> files = today.toList();
        if (files.size() <= threshold)
            return DayMenus::fileRows(files, open);
        MenuRows content;
        for (const DayMenus::FolderGroup& group : DayMenus::groupByFolder(files))
            content << DayMenus::fileSubmenu(QStringLiteral("%1 (%2)").arg(group.folder, QString::number(group.files.size())),
                                             group.files, open);
        return content;
    });
}

MenuRows VaultMenu::recent(const Inputs& inputs, const DayMenus::Open& open)
{
    const TimeBasis basis = DayMenus::basis(inputs.settings);
    const int days = inputs.settings.recentDays;
    const QDateTime now = inputs.now;
    const qint64 cutoffMs = now.toLocalTime().date().addDays(-days).startOfDay().toMSecsSinceEpoch();
    const FileEntryList recent = inputs.lists.recent;
    const auto isRecent = [basis, cutoffMs](const FileEntry& file) { return FileDates::effectiveMs(file, basis) >= cutoffMs; };
    // Newest first, so the first file nearly always answers; the days are worked out only when the
    // submenu opens, since a large vault has thousands of files in them.
    if (std::none_of(recent.begin(), recent.end(), isRecent))
        return {};
    const QString title = QStringLiteral("Recent (%1)").arg(counted(days, QStringLiteral("day"), QStringLiteral("days")));
    return {MenuRow::lazySubmenu(title, [recent, isRecent, basis, now, open] {
        QList<FileEntry> kept;
        for (const FileEntry& file : recent)
            if (isRecent(file))
                kept.append(file);
        MenuRows content;
        for (const DayMenus::DayGroup& group : DayMenus::groupByDay(kept, basis))
            content << DayMenus::fileSubmenu(
                QStringLiteral("%1 (%2)").arg(DayMenus::dayLabel(group.day, now)).arg(group.files.size()), group.files, open);
        return content;
    })};
}

MenuRows VaultMenu::specialFolder(const QString& name, const QList<FileEntry>& files, const std::optional<int>& threshold,
                                  const Inputs& inputs, const DayMenus::Open& open)
{
    if (files.isEmpty())
        return {};
    return {MenuRow::submenu(QStringLiteral("%1 (%2)").arg(name, QString::number(files.size())),
                             DayMenus::flatOrByDay(files, DayMenus::threshold(threshold), DayMenus::basis(inputs.settings),
                                                   DayMenus::dayLimit(inputs.settings.menuDayLimit), inputs.now, open))};
}

MenuRow VaultMenu::submenu(const Inputs& inputs, const Actions& actions)
{
    const DayMenus::Open& open = actions.files.open;
    const AppSettings& settings = inputs.settings;
    MenuRows rows;
    rows << today(inputs, open);
    rows << OutboxMenu::rows(inputs.lists.outbox, settings, inputs.now, actions.files);
    rows << specialFolder(QStringLiteral("Inbox"), inputs.lists.inbox, settings.inboxGroupThreshold, inputs, open);
    rows << specialFolder(QStringLiteral("Handoff"), inputs.lists.handoff, settings.handoffGroupThreshold, inputs, open);
    rows << recent(inputs, open);
    rows << MenuRow::separator();
    rows << MenuRow::button(QStringLiteral("Search Vault\u2026"), actions.toggleSearch);
    return MenuRow::submenu(QStringLiteral("Vault"), rows);
}

}  // namespace harkwell
