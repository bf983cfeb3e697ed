#include "foundation/Symbols.h"

#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>

namespace harkwell {

namespace {

using Kind = Symbols::Kind;

// Everything on a 24-unit grid, lines 2 units wide.
constexpr qreal kLine = 2.0;

void magnifier(QPainter& p, QPointF centre, qreal radius)
{
    p.drawEllipse(centre, radius, radius);
    const qreal reach = radius * 0.7071;
    p.drawLine(QPointF(centre.x() + reach + 0.8, centre.y() + reach + 0.8), QPointF(centre.x() + radius + 5.2, centre.y() + radius + 5.2));
}

void folderShape(QPainter& p)
{
    QPainterPath path(QPointF(3, 6.5));
    path.arcTo(QRectF(3, 4.5, 4, 4), 180, -90);
    path.lineTo(9, 4.5);
    path.lineTo(11, 7);
    path.lineTo(19, 7);
    path.arcTo(QRectF(17, 7, 4, 4), 90, -90);
    path.lineTo(21, 17.5);
    path.arcTo(QRectF(17, 15.5, 4, 4), 0, -90);
    path.lineTo(5, 19.5);
    path.arcTo(QRectF(3, 15.5, 4, 4), 270, -90);
    path.closeSubpath();
    p.drawPath(path);
}

void draw(QPainter& p, Kind kind, const QColor& colour)
{
    p.setPen(QPen(colour, kLine, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (kind) {
    case Kind::MagnifyingGlass:
        magnifier(p, QPointF(10, 10), 6);
        break;
    case Kind::DeepSearch: {
        QPainterPath page(QPointF(13, 3));
        page.lineTo(5, 3);
        page.lineTo(5, 21);
        page.lineTo(10, 21);
        p.drawPath(page);
        p.drawLine(QPointF(13, 3), QPointF(17, 7));
        p.drawLine(QPointF(17, 7), QPointF(17, 9));
        p.drawLine(QPointF(8, 8), QPointF(12, 8));
        magnifier(p, QPointF(15, 15), 3.6);
        break;
    }
    case Kind::Eye: {
        QPainterPath lid(QPointF(2.5, 12));
        lid.quadTo(QPointF(12, 2), QPointF(21.5, 12));
        lid.quadTo(QPointF(12, 22), QPointF(2.5, 12));
        p.drawPath(lid);
        p.setBrush(colour);
        p.drawEllipse(QPointF(12, 12), 3, 3);
        break;
    }
    case Kind::ChevronLeft:
        p.drawPolyline(QPolygonF({QPointF(15, 4.5), QPointF(8, 12), QPointF(15, 19.5)}));
        break;
    case Kind::ChevronRight:
        p.drawPolyline(QPolygonF({QPointF(9, 4.5), QPointF(16, 12), QPointF(9, 19.5)}));
        break;
    case Kind::Folder: {
        QColor fill = colour;
        fill.setAlphaF(0.25f);
        p.setBrush(fill);
        folderShape(p);
        break;
    }
    case Kind::FolderPlus:
        folderShape(p);
        p.drawLine(QPointF(12, 10.5), QPointF(12, 16.5));
        p.drawLine(QPointF(9, 13.5), QPointF(15, 13.5));
        break;
    case Kind::SortByName:
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(4, 6 + i * 6), QPointF(10 + i * 3.5, 6 + i * 6));
        p.drawLine(QPointF(19, 4), QPointF(19, 20));
        p.drawPolyline(QPolygonF({QPointF(16, 17), QPointF(19, 20), QPointF(22, 17)}));
        break;
    case Kind::SortByDate:
        p.drawEllipse(QPointF(12, 12), 8.5, 8.5);
        p.drawPolyline(QPolygonF({QPointF(12, 7), QPointF(12, 12), QPointF(15.5, 14)}));
        break;
    case Kind::RecordCircle:
        p.drawEllipse(QPointF(12, 12), 9, 9);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QPointF(12, 12), 5, 5);
        break;
    case Kind::Waveform: {
        const qreal heights[] = {4, 10, 16, 8, 13, 6};
        for (int i = 0; i < 6; ++i)
            p.drawLine(QPointF(4 + i * 3.2, 12 - heights[i] / 2), QPointF(4 + i * 3.2, 12 + heights[i] / 2));
        break;
    }
    case Kind::Tray: {
        QPainterPath tray(QPointF(3, 13));
        tray.lineTo(6, 5);
        tray.lineTo(18, 5);
        tray.lineTo(21, 13);
        tray.lineTo(21, 19);
        tray.lineTo(3, 19);
        tray.closeSubpath();
        p.drawPath(tray);
        p.drawPolyline(QPolygonF({QPointF(3, 13), QPointF(8.5, 13), QPointF(9.5, 15.5), QPointF(14.5, 15.5),
                                  QPointF(15.5, 13), QPointF(21, 13)}));
        break;
    }
    case Kind::Box:
        p.drawRoundedRect(QRectF(3, 4, 18, 5), 1.5, 1.5);
        p.drawPolyline(QPolygonF({QPointF(4.5, 9), QPointF(4.5, 20), QPointF(19.5, 20), QPointF(19.5, 9)}));
        p.drawLine(QPointF(10, 13), QPointF(14, 13));
        break;
    case Kind::Gear: {
        QPainterPath teeth;
        for (int i = 0; i < 8; ++i) {
            const qreal angle = i * M_PI / 4;
            teeth.moveTo(12 + 6.5 * std::cos(angle), 12 + 6.5 * std::sin(angle));
            teeth.lineTo(12 + 9.5 * std::cos(angle), 12 + 9.5 * std::sin(angle));
        }
        QPen thick = p.pen();
        thick.setWidthF(3.2);
        thick.setCapStyle(Qt::FlatCap);
        p.setPen(thick);
        p.drawPath(teeth);
        p.setPen(QPen(colour, kLine));
        p.drawEllipse(QPointF(12, 12), 6.5, 6.5);
        p.drawEllipse(QPointF(12, 12), 2.5, 2.5);
        break;
    }
    }
}

class SymbolEngine final : public QIconEngine {
public:
    SymbolEngine(Kind kind, QColor colour) : m_kind(kind), m_colour(std::move(colour)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const qreal side = std::min(rect.width(), rect.height());
        painter->translate(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2);
        painter->scale(side / 24.0, side / 24.0);
        QColor colour = m_colour;
        if (mode == QIcon::Disabled)
            colour.setAlphaF(0.4f);
        draw(*painter, m_kind, colour);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(0, 0), size * scale), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolEngine(m_kind, m_colour); }

private:
    Kind m_kind;
    QColor m_colour;
};

}  // namespace

QIcon Symbols::icon(Kind kind, const QColor& colour) { return QIcon(new SymbolEngine(kind, colour)); }

Symbols::Kind Symbols::byName(const QString& name)
{
    static const QHash<QString, Kind> kinds{
        {QStringLiteral("folder"), Kind::Folder},
        {QStringLiteral("folder.badge.plus"), Kind::FolderPlus},
        {QStringLiteral("shippingbox"), Kind::Box},
        {QStringLiteral("record.circle"), Kind::RecordCircle},
        {QStringLiteral("waveform"), Kind::Waveform},
        {QStringLiteral("tray.full"), Kind::Tray},
        {QStringLiteral("magnifyingglass"), Kind::MagnifyingGlass},
        {QStringLiteral("gearshape"), Kind::Gear},
    };
    return kinds.value(name, Kind::Folder);
}

}  // namespace harkwell
