#include "support/WidgetShot.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QStyle>
#include <QWidget>

namespace harkwell::test {

ShadeScope::ShadeScope(Shade shade) : m_previous(QApplication::palette())
{
    QApplication::setPalette(palette(shade));
}

ShadeScope::~ShadeScope() { QApplication::setPalette(m_previous); }

QPalette ShadeScope::palette(Shade shade)
{
    if (shade == Shade::Light)
        return QApplication::style()->standardPalette();
    // A dark desktop's colours: light text on dark grey, the selection and links kept readable.
    QPalette dark;
    const QColor window(0x2b, 0x2b, 0x2b);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor text(0xe6, 0xe6, 0xe6);
    const QColor disabled(0x80, 0x80, 0x80);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::ToolTipBase, base);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::white);
    dark.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    dark.setColor(QPalette::Midlight, QColor(0x44, 0x44, 0x44));
    dark.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
    dark.setColor(QPalette::Shadow, Qt::black);
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xff));
    dark.setColor(QPalette::LinkVisited, QColor(0xb0, 0x8c, 0xff));
    dark.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, disabled);
    return dark;
}

QString screenshotFolder()
{
    const QString folder = QStringLiteral(HARKWELL_ARTIFACT_DIR "/screenshots");
    QDir().mkpath(folder);
    return folder;
}

QString screenshotName(const QString& name, Shade shade, int scale)
{
    QString file = name + (shade == Shade::Dark ? QStringLiteral("-dark") : QStringLiteral("-light"));
    if (scale != 1)
        file += QStringLiteral("@%1x").arg(scale);
    return file + QStringLiteral(".png");
}

bool writePng(QWidget* widget, const QString& path, int scale)
{
    QPixmap pixmap(widget->size() * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(widget->palette().color(QPalette::Window));
    widget->render(&pixmap);
    return pixmap.save(path, "PNG");
}

}  // namespace harkwell::test
