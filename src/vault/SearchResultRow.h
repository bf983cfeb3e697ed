#pragma once
// Draws one file of the search panel's list: its name (semibold when selected) over its relative
// path on the left; its domain, when it has one, over its date on the right; the accent behind the
// selected row. No size and no icon.

#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"

#include <QStyledItemDelegate>

#include <optional>

class QListWidgetItem;

namespace harkwell {

class SearchResultRow final : public QStyledItemDelegate {
    Q_OBJECT
public:
    enum Role { RelativePathRole = Qt::UserRole + 1, DomainRole, DateRole };

    using QStyledItemDelegate::QStyledItemDelegate;

    // An item carrying what the row shows of `file`.
    static QListWidgetItem* makeItem(const FileEntry& file, std::optional<TimeBasis> basis);
    // The date the row shows, by the timeBasis setting: "MMM d, HH:mm" in the user's locale.
    static QString dateText(const FileEntry& file, std::optional<TimeBasis> basis);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace harkwell
