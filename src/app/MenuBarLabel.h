#pragma once
// What the tray icon shows: the microphone and today's number of vault files, or, while a recording
// runs or is paused, the red dot and the time recorded so far. The same text is the tool tip.

#include <QColor>
#include <QPixmap>
#include <QString>

namespace harkwell {

class MenuBarLabel {
public:
    struct Content {
        bool recording = false;  // red dot instead of the microphone
        QString text;
        friend bool operator==(const Content&, const Content&) = default;
    };

    // "mm:ss" below an hour, "h:mm:ss" from there on; negative time shows as 00:00.
    static QString formatElapsed(double seconds);

    static Content content(bool recordingActive, double elapsedSeconds, qint64 todayCount);
    static QString toolTip(const Content& content);
    // Glyph and text side by side, 2 points apart, at the height of the menu-bar glyph.
    static QPixmap render(const Content& content, const QColor& textColour, qreal devicePixelRatio = 1.0);
};

}  // namespace harkwell
