#pragma once
// The menu's "Vault" submenu: today's files (by top-level folder when there are many), the outbox,
// inbox and handoff folders, the recent days, and the search command.

#include "app/OutboxMenu.h"
#include "foundation/FileEntryList.h"

namespace harkwell {

class VaultMenu {
public:
    // The scanner's lists, each newest first.
    struct Lists {
        FileEntryList today;
        FileEntryList recent;  // every listed file that is not today's
        QList<FileEntry> outbox;
        QList<FileEntry> inbox;
        QList<FileEntry> handoff;
    };

    struct Inputs {
        Lists lists;
        AppSettings settings;
        QDateTime now;
    };

    struct Actions {
        OutboxMenu::Actions files;
        std::function<void()> toggleSearch;
    };

    static MenuRow submenu(const Inputs& inputs, const Actions& actions);

    static MenuRow today(const Inputs& inputs, const DayMenus::Open& open);
    // Nothing when no file of the last recentDays days remains.
    static MenuRows recent(const Inputs& inputs, const DayMenus::Open& open);
    // "Inbox (N)" or "Handoff (N)", or nothing for an empty folder.
    static MenuRows specialFolder(const QString& name, const QList<FileEntry>& files, const std::optional<int>& threshold,
                                  const Inputs& inputs, const DayMenus::Open& open);
};

}  // namespace harkwell
