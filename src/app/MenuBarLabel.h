#pragma once
// What the tray icon shows: the microphone with a badge of today's number of vault files, or, while
// a recording runs or is paused, the red dot alone. The text (the count, or the time recorded so
// far) is the tool tip as well. Tray slots are square and their panels light or dark, so the icon
// is square and drawn in a light glyph with a dark outline that reads on either.

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
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
    // A square of `side` points.
    static QPixmap render(const Content& content, int side = 22, qreal devicePixelRatio = 1.0);
    // The sizes trays ask for, each drawn for its size rather than scaled.
    static QIcon icon(const Content& content);
    // The badge's text: the count, shortened above three digits to fit the square.
    static QString badgeText(const QString& count);

    // Where the microphone and the count's badge go on the icon's 22-unit grid.
    struct Layout {
        QPainterPath microphone;
        QRectF badge;
    };
    static Layout layout(const QString& badgeText);
};

}  // namespace harkwell
