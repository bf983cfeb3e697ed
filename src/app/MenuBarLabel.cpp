#include "app/MenuBarLabel.h"

#include "app/Brand.h"
#include "recording/RecorderView.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <algorithm>

namespace harkwell {

namespace {

const QColor kGlyph(255, 255, 255);
const QColor kOutline(28, 28, 30);
// A shade of the recording red that stands out from white and from near-black panels alike.
const QColor kTrayRed(235, 45, 40);

// The microphone on a 22-point grid: capsule, cradle, stem and base as one outline.
QPainterPath microphone(qreal centre)
{
    QPainterPath shape;
    shape.addRoundedRect(QRectF(centre - 4, 1.5, 8, 11.5), 4, 4);
    QPainterPath strokes(QPointF(centre - 7, 8.5));
    strokes.cubicTo(QPointF(centre - 7, 13.5), QPointF(centre - 3.5, 16), QPointF(centre, 16));
    strokes.cubicTo(QPointF(centre + 3.5, 16), QPointF(centre + 7, 13.5), QPointF(centre + 7, 8.5));
    strokes.moveTo(QPointF(centre, 16));
    strokes.lineTo(QPointF(centre, 19.5));
    strokes.moveTo(QPointF(centre - 4, 19.75));
    strokes.lineTo(QPointF(centre + 4, 19.75));
    QPainterPathStroker stroker;
    stroker.setWidth(2.2);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return shape.united(stroker.createStroke(strokes)).simplified();
}

void drawOutlined(QPainter& painter, const QPainterPath& path, const QColor& fill)
{
    painter.strokePath(path, QPen(kOutline, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(path, fill);
}

QFont badgeFont(const QString& text)
{
    QFont font;
    font.setBold(true);
    font.setPixelSize(10);
    // Shrink the digits rather than let a long count spill over the square.
    for (; font.pixelSize() > 6; font.setPixelSize(font.pixelSize() - 1))
        if (QFontMetricsF(font).horizontalAdvance(text) <= 22 - 5)
            break;
    return font;
}

void drawBadge(QPainter& painter, const QString& text, const QRectF& badge)
{
    QPainterPath shape;
    shape.addRoundedRect(badge, badge.height() / 2, badge.height() / 2);
    // A light ring keeps the dark badge apart from a dark panel.
    painter.strokePath(shape, QPen(kGlyph, 1.6));
    painter.fillPath(shape, Brand::badgeColour());
    painter.setFont(badgeFont(text));
    painter.setPen(kGlyph);
    painter.drawText(badge, Qt::AlignCenter, text);
}

}  // namespace

QString MenuBarLabel::formatElapsed(double seconds)
{
    // The label and the recorder panel show one clock the same way.
    return RecorderView::formatElapsed(seconds);
}

MenuBarLabel::Content MenuBarLabel::content(bool recordingActive, double elapsedSeconds, qint64 todayCount)
{
    if (recordingActive)
        return {true, formatElapsed(elapsedSeconds)};
    return {false, QString::number(todayCount)};
}

QString MenuBarLabel::toolTip(const Content& content)
{
    if (content.recording)
        return QStringLiteral("Harkwell: recording %1").arg(content.text);
    return QStringLiteral("Harkwell: %1 today").arg(content.text);
}

QString MenuBarLabel::badgeText(const QString& count)
{
    return count.size() > 3 ? QStringLiteral("999+") : count;
}

MenuBarLabel::Layout MenuBarLabel::layout(const QString& badgeText)
{
    const QFontMetricsF metrics(badgeFont(badgeText));
    Layout layout;
    // The count takes the bottom as a bar and the microphone, smaller, the top: a badge in the
    // corner would cover the microphone's cradle and leave a padlock's outline.
    const qreal bar = 10;
    const qreal width = std::clamp(metrics.horizontalAdvance(badgeText) + 5, bar + 2, 21.0);
    layout.badge = QRectF(11 - width / 2, 22 - bar - 0.5, width, bar);
    const QPainterPath full = microphone(11);
    const QRectF bounds = full.boundingRect();
    // The microphone's foot may stand on the bar; its head and cradle stay clear of it.
    const qreal room = layout.badge.top() + 1.2;
    const qreal scale = room / bounds.height();
    layout.microphone = QTransform()
                            .translate(11, 0.4)
                            .scale(scale, scale)
                            .translate(-bounds.center().x(), -bounds.top())
                            .map(full);
    return layout;
}

QPixmap MenuBarLabel::render(const Content& content, int side, qreal devicePixelRatio)
{
    QPixmap pixmap(qRound(side * devicePixelRatio), qRound(side * devicePixelRatio));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.scale(side / 22.0, side / 22.0);
    if (content.recording) {
        QPainterPath dot;
        dot.addEllipse(QPointF(11, 11), 7.5, 7.5);
        drawOutlined(painter, dot, kTrayRed);
    } else {
        const QString count = badgeText(content.text);
        const Layout shapes = layout(count);
        drawOutlined(painter, shapes.microphone, kGlyph);
        drawBadge(painter, count, shapes.badge);
    }
    return pixmap;
}

QIcon MenuBarLabel::icon(const Content& content)
{
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 44, 48, 64})
        icon.addPixmap(render(content, side, 1.0));
    return icon;
}

}  // namespace harkwell
