#pragma once
// The two date forms the stored records use: ISO 8601 internet date-time in UTC to the second
// ("2026-03-05T14:07:09Z"), and seconds since 2001-01-01 00:00:00 UTC as a JSON number.

#include <QDateTime>
#include <QString>

#include <optional>

namespace harkwell {

// Both forms hold the years 0001 to 9999 in UTC only: a time outside them is brought to the nearer
// end when it is written or read, so that whatever is written can be read back.
class DateForms {
public:
    // UTC, a literal "Z", fractions of a second dropped.
    static QString internetDateTime(const QDateTime& time);
    // The internet date-time form: "Z" or an offset with a colon. Fractions of a second are
    // refused unless `allowFraction`.
    static std::optional<QDateTime> parseInternetDateTime(const QString& text, bool allowFraction = false);

    static double referenceSeconds(const QDateTime& time);
    static QDateTime fromReferenceSeconds(double seconds);

    // The first and the last moment the forms hold, and a time brought into that span.
    static QDateTime earliest();
    static QDateTime latest();
    static QDateTime withinRange(const QDateTime& time);

    static constexpr qint64 kReferenceEpochOffset = 978'307'200;  // 2001-01-01 in Unix seconds
};

}  // namespace harkwell
