#include "app/MenuBarLabel.h"

#include "app/Brand.h"
#include "recording/RecorderView.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>

namespace harkwell {

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
