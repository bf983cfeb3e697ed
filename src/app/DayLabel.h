#pragma once
// A day as the menu names it: "Today", "Yesterday", else the short date in the user's language.

#include <QDateTime>
#include <QString>

namespace harkwell {

class DayLabel {
public:
    static QString format(const QDateTime& date, const QDateTime& now);
};

}  // namespace harkwell
