#pragma once
// Colour contrast as the accessibility guidelines measure it, and colours adjusted to reach it, so a
// text keeps readable on light and dark palettes alike.

#include <QColor>
#include <QPalette>

namespace harkwell {

class Contrast {
public:
    static constexpr double kText = 4.5;     // body text
    static constexpr double kGraphic = 3.0;  // icons and large text

    static double luminance(const QColor& colour);
    // From 1 (the same) to 21 (black on white); opaque colours.
    static double ratio(const QColor& a, const QColor& b);
    // `wanted`, made darker or lighter as little as needed to reach `minimum` against `background`.
    static QColor readable(const QColor& wanted, const QColor& background, double minimum = kText);
    // The quieter text of status lines and hints: between the text and the window, still readable.
    static QColor secondaryText(const QPalette& palette);
    // `top` laid over `bottom` by its alpha.
    static QColor over(const QColor& top, const QColor& bottom);
};

}  // namespace harkwell
