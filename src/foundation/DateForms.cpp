#include "foundation/DateForms.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace harkwell {

QDateTime DateForms::earliest() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC); }

QDateTime DateForms::latest() { return QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC); }

QDateTime DateForms::withinRange(const QDateTime& time)
{
    if (!time.isValid())
        return time;
    return std::clamp(time.toUTC(), earliest(), latest());
}

QString DateForms::internetDateTime(const QDateTime& time)
{
    return withinRange(time).toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<QDateTime> DateForms::parseInternetDateTime(const QString& text, bool allowFraction)
{
    static const QRegularExpression form(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d+)?(Z|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString fraction = match.captured(7);
    if (!fraction.isEmpty() && !allowFraction)
        return std::nullopt;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const int milliseconds = fraction.isEmpty() ? 0 : int(std::lround(fraction.toDouble() * 1000)) % 1000;
    const QTime clock(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(), milliseconds);
    if (!date.isValid() || !clock.isValid())
        return std::nullopt;
    int offset = 0;
    if (match.captured(8) != QLatin1String("Z")) {
        const int hours = match.captured(10).toInt();
        const int minutes = match.captured(11).toInt();
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offset = (hours * 3600 + minutes * 60) * (match.captured(9) == QLatin1String("-") ? -1 : 1);
    }
    // An offset can carry a time of the first or the last year over the edge of the range. Brought
    // to the last moment, a time without a fraction keeps whole seconds: written again to the second
    // it must read back as itself.
    const QDateTime time = withinRange(QDateTime(date, clock, Qt::OffsetFromUTC, offset));
    return fraction.isEmpty() ? time.addMSecs(-time.time().msec()) : time;
}

double DateForms::referenceSeconds(const QDateTime& time)
{
    return double(time.toMSecsSinceEpoch()) / 1000.0 - double(kReferenceEpochOffset);
}

QDateTime DateForms::fromReferenceSeconds(double seconds)
{
    // Checked as a floating-point number first: a value beyond what 64 bits hold has no conversion.
    const double unixMilliseconds = (seconds + double(kReferenceEpochOffset)) * 1000.0;
    if (std::isnan(unixMilliseconds))
        return {};
    const double first = double(earliest().toMSecsSinceEpoch());
    const double last = double(latest().toMSecsSinceEpoch());
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(std::clamp(unixMilliseconds, first, last))), Qt::UTC);
}

}  // namespace harkwell
