#include "app/Brand.h"

#include <QPainter>
#include <QPainterPath>

namespace harkwell {

namespace {

QPixmap blankPixmap(int points, qreal devicePixelRatio)
{
    QPixmap pixmap(qRound(points * devicePixelRatio), qRound(points * devicePixelRatio));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

QColor Brand::accent(const QPalette& palette)
{
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    return dark ? QColor(191, 90, 242) : QColor(142, 60, 196);
}

QColor Brand::recordingRed() { return QColor(255, 59, 48); }

QColor Brand::badgeColour() { return QColor(142, 60, 196); }

QPixmap Brand::menuBarGlyph(const QColor& colour, qreal devicePixelRatio)
{
    QPixmap pixmap = blankPixmap(kGlyphPoints, devicePixelRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);

    // Capsule
    painter.setPen(QPen(colour, 1.1));
    painter.drawRoundedRect(QRectF(5.7, 0.6, 6.6, 10.4), 3.3, 3.3);

    // Cradle
    QPainterPath cradle(QPointF(3.4, 8.45));
    cradle.cubicTo(QPointF(3.4, 12.14), QPointF(5.78, 13.67), QPointF(9.0, 13.67));
    cradle.cubicTo(QPointF(12.22, 13.67), QPointF(14.6, 12.14), QPointF(14.6, 8.45));
    painter.setPen(QPen(colour, 1.1, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(cradle);

    // Wave running down into the stem
    QPainterPath wave(QPointF(9.0, 1.85));
    wave.cubicTo(QPointF(8.08, 1.85), QPointF(7.34, 2.48), QPointF(7.34, 3.21));
    wave.cubicTo(QPointF(7.34, 4.06), QPointF(10.11, 4.61), QPointF(10.11, 5.7));
    wave.cubicTo(QPointF(10.11, 6.67), QPointF(8.31, 7.28), QPointF(8.31, 8.13));
    wave.cubicTo(QPointF(8.31, 8.86), QPointF(9.0, 9.16), QPointF(9.0, 10.04));
    wave.lineTo(QPointF(9.0, 15.36));
    painter.setPen(QPen(colour, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(wave);

    // Base
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(7.35, 14.65, 3.3, 3.3));
    return pixmap;
}

QPixmap Brand::recordingGlyph(qreal devicePixelRatio)
{
    QPixmap pixmap = blankPixmap(kRecordingDotPoints, devicePixelRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(recordingRed());
    painter.drawEllipse(QRectF(0.5, 0.5, 11, 11));
    return pixmap;
}

}  // namespace harkwell
