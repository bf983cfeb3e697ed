#pragma once
// The web pages the settings and welcome windows open, in Swedish for Swedish users, else English.

#include <QStringList>
#include <QUrl>

namespace harkwell {

class HarkwellLinks {
public:
    static QUrl productPage();
    static QUrl setupGuide();

    // "sv" when the first preferred language is Swedish (any region), otherwise "en".
    static QString languageSegment(const QStringList& preferredLanguages);
};

}  // namespace harkwell
