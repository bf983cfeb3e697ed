#include "capture/FilenameNormaliser.h"

#include <QRegularExpression>

namespace harkwell {

namespace {

// \d and \s take their Unicode meaning, as the recording app's own matcher does; digit values are
// read per character so that any decimal digit counts the same.
int digits(QStringView text)
{
    int value = 0;
    for (QChar c : text)
        value = value * 10 + c.digitValue();
    return value;
}

}  // namespace

std::optional<FilenameNormaliser::Parsed> FilenameNormaliser::parse(const QString& fileName)
{
    static const QRegularExpression pattern(QString::fromLatin1(kPattern),
                                            QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return std::nullopt;
    const QStringView day = match.capturedView(1);
    const QStringView time = match.capturedView(2);
    const QDate date(digits(day.mid(0, 4)), digits(day.mid(4, 2)), digits(day.mid(6, 2)));
    const QTime clock(digits(time.mid(0, 2)), digits(time.mid(2, 2)), digits(time.mid(4, 2)));
    if (!date.isValid() || !clock.isValid())
        return std::nullopt;
    const QDateTime timestamp(date, clock, Qt::LocalTime);
    if (!timestamp.isValid())
        return std::nullopt;
    return Parsed{timestamp, match.captured(3)};
}

QString FilenameNormaliser::canonicalId(const QDateTime& timestamp)
{
    // QDateTime::toString formats with the C locale: ASCII digits whatever the user's locale.
    return timestamp.toLocalTime().toString(QStringLiteral("yyMMdd-HHmmss"));
}

}  // namespace harkwell
