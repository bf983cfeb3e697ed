#include "app/MenuBarLabel.h"

#include "app/Brand.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>
#include <limits>

namespace harkwell {

QString MenuBarLabel::formatElapsed(double seconds)
{
    // The recording clock never hands over anything else; a bad value still must not overflow.
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    seconds = std::min(seconds, double(std::numeric_limits<qint64>::max() / 2));
    const qint64 s = qint64(std::trunc(seconds));
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg((s % 3600) / 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
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

QPixmap MenuBarLabel::render(const Content& content, const QColor& textColour, qreal devicePixelRatio)
{
    const QPixmap glyph = content.recording ? Brand::recordingGlyph(devicePixelRatio)
                                            : Brand::menuBarGlyph(textColour, devicePixelRatio);
    const qreal glyphPoints = content.recording ? Brand::kRecordingDotPoints : Brand::kGlyphPoints;
    const qreal height = Brand::kGlyphPoints;
    constexpr qreal kSpacing = 2;

    // Digits of one width, so the label does not jitter as the time ticks.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(13);
    const QFontMetricsF metrics(font);
    const qreal textWidth = metrics.horizontalAdvance(content.text);
    const qreal width = glyphPoints + kSpacing + textWidth;

    QPixmap pixmap(qCeil(width * devicePixelRatio), qCeil(height * devicePixelRatio));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.drawPixmap(QPointF(0, (height - glyphPoints) / 2), glyph);
    painter.setFont(font);
    painter.setPen(textColour);
    painter.drawText(QRectF(glyphPoints + kSpacing, 0, textWidth + 1, height), Qt::AlignLeft | Qt::AlignVCenter, content.text);
    return pixmap;
}

}  // namespace harkwell
