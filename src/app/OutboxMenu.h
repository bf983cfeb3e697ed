#pragma once
// The vault's "Outbox" submenu: loose files and delivery folders, a folder's manifest fields and
// its mail row, folders dated by the "yyMMdd" at the start of their names (else by their files)
// and shown by day when there are more files than the threshold.

#include "app/DayMenus.h"

#include <QMap>
#include <QStringList>

#include <functional>
#include <optional>

namespace harkwell {

class OutboxMenu {
public:
    struct Actions {
        DayMenus::Open open;
        // Attachments in order; a subject when there is one. Does nothing without a mail program.
        std::function<void(const QStringList& paths, const std::optional<QString>& subject)> mail;
        // The fields of <folder>/_manifest.md; empty when it is missing or unreadable.
        std::function<QMap<QString, QString>(const QString& folder)> manifestFields;
    };

    struct OutboxDay {
        QDate day;
        QList<DayMenus::FolderGroup> folders;  // by name, descending
    };

    static constexpr char kLoose[] = "(loose)";

    // The submenu, or nothing when the outbox is empty.
    static MenuRows rows(const QList<FileEntry>& files, const AppSettings& settings, const QDateTime& now,
                         const Actions& actions);

    // "(loose)" first, then the folders by name, descending, so dated names stand newest first.
    static QList<DayMenus::FolderGroup> groupByDeliveryFolder(const QList<FileEntry>& files);
    // The delivery folders (not the loose files) by day, newest first.
    static QList<OutboxDay> outboxDays(const QList<DayMenus::FolderGroup>& groups, TimeBasis basis);
    // The local day named by the first six characters, read as "yyMMdd" in this century.
    static std::optional<QDate> folderNameDate(const QString& folder);

    static MenuRow deliveryMenu(const DayMenus::FolderGroup& group, const AppSettings& settings, const Actions& actions);
    // The file row and its "Mail " row.
    static MenuRows outboxRows(const FileEntry& file, const Actions& actions);
};

}  // namespace harkwell
