#include "onboarding/WelcomeStyle.h"

#include "foundation/Contrast.h"
#include "foundation/Symbols.h"

#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPen>
#include <QStyle>
#include <QWidget>

namespace harkwell {

namespace {

void tint(QLabel* label, qreal alpha)
{
    QPalette palette = label->palette();
    QColor text = palette.color(QPalette::WindowText);
    text.setAlphaF(alpha);
    palette.setColor(QPalette::WindowText, text);
    label->setPalette(palette);
}

void scaleFont(QLabel* label, qreal factor)
{
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * factor);
    label->setFont(font);
}

// The window's symbols, drawn in the accent so they read on a light and a dark palette alike.
QIcon iconFor(const QString& symbol, const QPalette& palette)
{
    const QColor accent = Contrast::readable(palette.color(QPalette::Highlight), palette.color(QPalette::Window),
                                             Contrast::kGraphic);
    return Symbols::icon(Symbols::byName(symbol), accent);
}

}  // namespace

void WelcomeStyle::setCaption(QLabel* label, Tone tone)
{
    scaleFont(label, 0.85);
    tint(label, tone == Tone::Secondary ? 0.65 : 0.45);
}

void WelcomeStyle::setSecondary(QLabel* label) { tint(label, 0.65); }

void WelcomeStyle::setMedium(QLabel* label)
{
    QFont font = label->font();
    font.setWeight(QFont::Medium);
    label->setFont(font);
}

void WelcomeStyle::setHeadline(QLabel* label)
{
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
}

QLabel* WelcomeStyle::symbol(const QString& name, QWidget* parent, int size)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("symbol:") + name);
    label->setFixedSize(size, size);
    label->setAlignment(Qt::AlignCenter);
    const int pixels = size * 2 / 3;
    label->setPixmap(iconFor(name, parent->palette()).pixmap(pixels, pixels));
    return label;
}

QLabel* WelcomeStyle::chevron(QWidget* parent)
{
    auto* label = new QLabel(QStringLiteral("›"), parent);
    tint(label, 0.45);
    return label;
}

void WelcomeStyle::paintCard(QWidget* card, bool highlighted)
{
    QPainter painter(card);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = card->palette().color(QPalette::WindowText);
    fill.setAlphaF(highlighted ? 0.14 : 0.08);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(card->rect()), 8, 8);
    // Keyboard focus gets the ring buttons draw, in the highlight colour, so that Tab shows where it is.
    if (card->hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(card->palette().color(QPalette::Highlight), 2));
        painter.drawRoundedRect(QRectF(card->rect()).adjusted(1, 1, -1, -1), 7, 7);
    }
}

}  // namespace harkwell
