#include "foundation/Contrast.h"

#include <algorithm>
#include <cmath>

namespace harkwell {

namespace {

double linear(double channel)
{
    return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

QColor mix(const QColor& a, const QColor& b, double t)
{
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t), float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}

}  // namespace

double Contrast::luminance(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

double Contrast::ratio(const QColor& a, const QColor& b)
{
    const double x = luminance(a);
    const double y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QColor Contrast::readable(const QColor& wanted, const QColor& background, double minimum)
{
    if (ratio(wanted, background) >= minimum)
        return wanted;
    // Toward black on a light background, toward white on a dark one, in small steps.
    const QColor end = luminance(background) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    for (int step = 1; step <= 20; ++step) {
        const QColor candidate = mix(wanted, end, step / 20.0);
        if (ratio(candidate, background) >= minimum)
            return candidate;
    }
    return end;
}

QColor Contrast::secondaryText(const QPalette& palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const QColor base = palette.color(QPalette::Base);
    // As faint as it can be while it still reads on both backgrounds a menu or panel may use.
    for (double t = 0.45; t > 0; t -= 0.05) {
        const QColor candidate = mix(text, window, t);
        if (ratio(candidate, window) >= kText && ratio(candidate, base) >= kText)
            return candidate;
    }
    return text;
}

QColor Contrast::over(const QColor& top, const QColor& bottom)
{
    const double a = top.alphaF();
    return mix(bottom, QColor(top.red(), top.green(), top.blue()), a);
}

}  // namespace harkwell
