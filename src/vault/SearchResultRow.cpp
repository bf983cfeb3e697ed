#include "vault/SearchResultRow.h"

#include "vault/FileDates.h"

#include <QFontMetrics>
#include <QListWidgetItem>
#include <QLocale>
#include <QPainter>

namespace harkwell {

namespace {

constexpr int kInset = 2;
constexpr int kSideInset = 8;
constexpr int kLineGap = 2;

QFont captionFont(const QFont& base, int smaller)
{
    QFont font = base;
    font.setPointSizeF(std::max(6.0, base.pointSizeF() - smaller));
    return font;
}

QColor faded(QColor colour, double alpha)
{
    colour.setAlphaF(float(alpha));
    return colour;
}

}  // namespace

QString SearchResultRow::dateText(const FileEntry& file, std::optional<TimeBasis> basis)
{
    const QDateTime date = FileDates::effective(file, basis.value_or(TimeBasis::Modification));
    return QLocale::system().toString(date.toLocalTime(), QStringLiteral("MMM d, HH:mm"));
}

QListWidgetItem* SearchResultRow::makeItem(const FileEntry& file, std::optional<TimeBasis> basis)
{
    auto* item = new QListWidgetItem(file.filename);
    item->setData(RelativePathRole, file.relativePath);
    if (file.domain)
        item->setData(DomainRole, *file.domain);
    item->setData(DateRole, dateText(file, basis));
    return item;
}

void SearchResultRow::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    painter->save();
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(option.rect, faded(option.palette.color(QPalette::Highlight), 0.15));

    const QRect area = option.rect.adjusted(kSideInset, kInset, -kSideInset, -kInset);
    const QColor text = option.palette.color(QPalette::Text);
    const QColor secondary = faded(text, 0.6);
    const QColor tertiary = faded(text, 0.4);

    QFont nameFont = option.font;
    nameFont.setWeight(selected ? QFont::DemiBold : QFont::Normal);
    const QFont caption = captionFont(option.font, 2);
    const QFont caption2 = captionFont(option.font, 3);
    const QFontMetrics nameMetrics(nameFont);
    const QFontMetrics captionMetrics(caption);
    const QFontMetrics caption2Metrics(caption2);

    // The right column first: the left one gives way to it.
    const QString domain = index.data(DomainRole).toString();
    const QString date = index.data(DateRole).toString();
    const int rightWidth = std::max(domain.isEmpty() ? 0 : captionMetrics.horizontalAdvance(domain),
                                    caption2Metrics.horizontalAdvance(date));
    QRect right = area;
    right.setLeft(area.right() - rightWidth);
    int y = right.top();
    if (!domain.isEmpty()) {
        painter->setFont(caption);
        painter->setPen(secondary);
        painter->drawText(QRect(right.left(), y, rightWidth, captionMetrics.height()), Qt::AlignRight, domain);
        y += captionMetrics.height() + kLineGap;
    }
    painter->setFont(caption2);
    painter->setPen(tertiary);
    painter->drawText(QRect(right.left(), y, rightWidth, caption2Metrics.height()), Qt::AlignRight, date);

    const int leftWidth = std::max(0, right.left() - area.left() - kSideInset);
    painter->setFont(nameFont);
    painter->setPen(text);
    const QString name = nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, leftWidth);
    painter->drawText(QRect(area.left(), area.top(), leftWidth, nameMetrics.height()), Qt::AlignLeft, name);
    painter->setFont(caption);
    painter->setPen(secondary);
    const QString path = captionMetrics.elidedText(index.data(RelativePathRole).toString(), Qt::ElideRight, leftWidth);
    painter->drawText(QRect(area.left(), area.top() + nameMetrics.height() + kLineGap, leftWidth, captionMetrics.height()),
                      Qt::AlignLeft, path);
    painter->restore();
}

QSize SearchResultRow::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    QFont nameFont = option.font;
    nameFont.setWeight(QFont::DemiBold);
    const int height = QFontMetrics(nameFont).height() + kLineGap + QFontMetrics(captionFont(option.font, 2)).height();
    return {option.rect.width(), height + 2 * kInset + 6};
}

}  // namespace harkwell
