#pragma once
// Harkwell's own colour and its two menu-bar images, drawn in code so that they stay sharp at any
// scale and take the colour of the desktop's text.

#include <QColor>
#include <QPalette>
#include <QPixmap>

namespace harkwell {

class Brand {
public:
    // Purple, lighter on a dark palette so it keeps its contrast.
    static QColor accent(const QPalette& palette);

    static constexpr int kGlyphPoints = 18;
    static constexpr int kRecordingDotPoints = 12;

    // The microphone in a capsule with its cradle, wave and base, in one colour.
    static QPixmap menuBarGlyph(const QColor& colour, qreal devicePixelRatio = 1.0);
    // The red dot shown while a recording runs or is paused; keeps its colour on any panel.
    static QPixmap recordingGlyph(qreal devicePixelRatio = 1.0);
    static QColor recordingRed();
    // Behind the tray icon's white count: dark enough for white digits on any panel.
    static QColor badgeColour();
};

}  // namespace harkwell
