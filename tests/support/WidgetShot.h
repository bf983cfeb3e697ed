#pragma once
// Pictures of windows for people to look at: a widget rendered to a PNG in a light or a dark
// palette and at a given device pixel ratio, written under the build tree's artifacts folder.

#include <QPalette>
#include <QString>

class QWidget;

namespace harkwell::test {

enum class Shade { Light, Dark };

// The application's palette for as long as it lives. Widgets read their palette when they are
// built, so build the window after this.
class ShadeScope {
public:
    explicit ShadeScope(Shade shade);
    ~ShadeScope();
    ShadeScope(const ShadeScope&) = delete;
    ShadeScope& operator=(const ShadeScope&) = delete;

    static QPalette palette(Shade shade);

private:
    QPalette m_previous;
};

// <build>/artifacts/screenshots, made when missing.
QString screenshotFolder();
// "settings-general-dark@2x.png" style names: `name`, the shade, and the scale when it is not 1.
QString screenshotName(const QString& name, Shade shade, int scale);
// Renders `widget` (laid out at its current size) into `path`; false when the file was not written.
bool writePng(QWidget* widget, const QString& path, int scale);

}  // namespace harkwell::test
