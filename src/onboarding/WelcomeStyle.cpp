#include "onboarding/WelcomeStyle.h"

#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QPainter>
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

// Freedesktop icon names for the symbols the window names, with a style icon behind each.
QIcon iconFor(const QString& symbol, const QStyle* style)
{
    static const QHash<QString, QPair<QString, QStyle::StandardPixmap>> icons{
        {QStringLiteral("folder"), {QStringLiteral("folder"), QStyle::SP_DirIcon}},
        {QStringLiteral("folder.badge.plus"), {QStringLiteral("folder-new"), QStyle::SP_FileDialogNewFolder}},
        {QStringLiteral("shippingbox"), {QStringLiteral("package-x-generic"), QStyle::SP_DriveHDIcon}},
        {QStringLiteral("record.circle"), {QStringLiteral("media-record"), QStyle::SP_MediaPlay}},
        {QStringLiteral("waveform"), {QStringLiteral("audio-x-generic"), QStyle::SP_MediaVolume}},
        {QStringLiteral("tray.full"), {QStringLiteral("mail-folder-inbox"), QStyle::SP_DirOpenIcon}},
        {QStringLiteral("magnifyingglass"), {QStringLiteral("edit-find"), QStyle::SP_FileDialogContentsView}},
        {QStringLiteral("gearshape"), {QStringLiteral("preferences-system"), QStyle::SP_ComputerIcon}},
    };
    const auto found = icons.value(symbol, {symbol, QStyle::SP_DirIcon});
    return QIcon::fromTheme(found.first, style->standardIcon(found.second));
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
    label->setPixmap(iconFor(name, parent->style()).pixmap(pixels, pixels));
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
}

}  // namespace harkwell
