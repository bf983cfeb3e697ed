#pragma once
// What the welcome window shows of the brand, handed in by the application (the brand and its links
// live above this layer). The defaults keep the window usable on its own.

#include <QColor>
#include <QIcon>
#include <QUrl>

namespace harkwell {

struct WelcomeBranding {
    QColor accent;     // invalid: the palette's highlight
    QUrl productPage;  // the guide link; empty: the product site's root
    QIcon appIcon;     // null: the application's window icon, else none
};

}  // namespace harkwell
