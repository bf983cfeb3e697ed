#include "app/DayLabel.h"

#include <QLocale>

namespace harkwell {

QString DayLabel::format(const QDateTime& date, const QDateTime& now)
{
    const QDate day = date.toLocalTime().date();
    const QDate today = now.toLocalTime().date();
    if (day == today)
        return QStringLiteral("Today");
    if (day == today.addDays(-1))
        return QStringLiteral("Yesterday");
    return QLocale().toString(day, QStringLiteral("MMM d"));
}

}  // namespace harkwell
