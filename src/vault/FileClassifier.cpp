#include "vault/FileClassifier.h"

#include <QList>

#include <utility>

namespace harkwell {

namespace {

// The specific meeting folders stand before the catch-all "meetings/".
constexpr std::pair<const char*, const char*> kDomainPatterns[] = {
    {"meetings/management", "management"},
    {"meetings/board", "board"},
    {"meetings/marketing", "marketing"},
    {"meetings/operations", "operations"},
    {"meetings/monthly", "monthly"},
    {"meetings/development", "development"},
    {"meetings/unsorted", "unsorted"},
    {"meetings/", "meetings-other"},
    {"_contacts/", "contact"},
    {"_partners/", "partner"},
    {"_private/", "private"},
    {"_projects/", "project"},
    {"projects/", "project"},
};

// The parts A and B of the monthly meeting stand before the plain "monthly-part".
constexpr std::pair<const char*, const char*> kTypeKeywords[] = {
    {"förberedelse", "preparation"},
    {"forberedelse", "preparation"},
    {"preparation", "preparation"},
    {"standup", "standup"},
    {"daily-standup", "standup"},
    {"monthly-part-A", "monthly-financial"},
    {"monthly-part-B", "monthly-strategic"},
    {"monthly-part", "monthly"},
    {"board-meeting", "board"},
    {"board", "board"},
    {"samtal", "conversation"},
    {"Development-Overview", "development-overview"},
    {"Weekly-Management", "management-weekly"},
};

// Lower case in composed form, so that "o" plus a combining diaeresis meets "ö".
QString folded(const QString& text) { return text.toLower().normalized(QString::NormalizationForm_C); }

bool isAsciiDigits(const QString& text, qsizetype from, qsizetype count)
{
    for (qsizetype index = from; index < from + count; ++index) {
        const char16_t c = text.at(index).unicode();
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

using Table = QList<std::pair<QString, QString>>;

// A table in the form it is compared in, made once per table (thread-safe static initialisation).
template <std::size_t N>
Table foldedTable(const std::pair<const char*, const char*> (&rows)[N])
{
    Table table;
    for (const auto& [key, label] : rows)
        table.append({folded(QString::fromUtf8(key)), QString::fromUtf8(label)});
    return table;
}

std::optional<QString> firstContained(const Table& table, const QString& text)
{
    for (const auto& [key, label] : table)
        if (text.contains(key))
            return label;
    return std::nullopt;
}

int number(const QString& text, qsizetype from, qsizetype count) { return QStringView(text).mid(from, count).toInt(); }

std::optional<QDateTime> startOfDay(int year, int month, int day, FileClassifier::DayStarts& days)
{
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    return days.of(date);
}

}  // namespace

QDateTime FileClassifier::DayStarts::of(const QDate& date)
{
    const auto known = m_starts.constFind(date.toJulianDay());
    if (known != m_starts.cend())
        return *known;
    // Held as an instant, so that lists of such dates sort without a time-zone lookup per comparison.
    const QDateTime start = date.startOfDay().toUTC();
    m_starts.insert(date.toJulianDay(), start);
    return start;
}

std::optional<QDateTime> FileClassifier::parseFilenameDate(const QString& filename)
{
    DayStarts days;
    return parseFilenameDate(filename, days);
}

std::optional<QDateTime> FileClassifier::parseFilenameDate(const QString& filename, DayStarts& days)
{
    // yyMMdd: a six-digit prefix is never read as the other form, even when it is no valid day.
    if (filename.size() >= 7 && isAsciiDigits(filename, 0, 6) && filename.at(6) == QLatin1Char('-'))
        return startOfDay(2000 + number(filename, 0, 2), number(filename, 2, 2), number(filename, 4, 2), days);
    if (filename.size() >= 11 && isAsciiDigits(filename, 0, 4) && filename.at(4) == QLatin1Char('-')
        && isAsciiDigits(filename, 5, 2) && filename.at(7) == QLatin1Char('-') && isAsciiDigits(filename, 8, 2)
        && filename.at(10) == QLatin1Char('-'))
        return startOfDay(number(filename, 0, 4), number(filename, 5, 2), number(filename, 8, 2), days);
    return std::nullopt;
}

FileClassifier::Classification FileClassifier::classify(const QString& filename, const QString& relativePath)
{
    DayStarts days;
    return classify(filename, relativePath, days);
}

FileClassifier::Classification FileClassifier::classify(const QString& filename, const QString& relativePath, DayStarts& days)
{
    Classification result;
    result.filenameDate = parseFilenameDate(filename, days);
    if (!result.filenameDate)
        return result;
    result.domain = classifyDomain(relativePath);
    result.fileType = classifyType(filename);
    return result;
}

std::optional<QString> FileClassifier::classifyDomain(const QString& relativePath)
{
    static const Table patterns = foldedTable(kDomainPatterns);
    return firstContained(patterns, folded(relativePath));
}

std::optional<QString> FileClassifier::classifyType(const QString& filename)
{
    static const Table keywords = foldedTable(kTypeKeywords);
    return firstContained(keywords, folded(filename));
}

}  // namespace harkwell
