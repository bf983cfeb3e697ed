#include "vault/FileClassifier.h"

#include <QList>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace harkwell {

namespace {

// The labels are text of the program's own, which keeps no count of its holders: a listing
// copies one into every dated entry, on several threads at once.

// The specific meeting folders stand before the catch-all "meetings/".
constexpr std::pair<const char*, const char16_t*> kDomainPatterns[] = {
    {"meetings/management", u"management"},
    {"meetings/board", u"board"},
    {"meetings/marketing", u"marketing"},
    {"meetings/operations", u"operations"},
    {"meetings/monthly", u"monthly"},
    {"meetings/development", u"development"},
    {"meetings/unsorted", u"unsorted"},
    {"meetings/", u"meetings-other"},
    {"_contacts/", u"contact"},
    {"_partners/", u"partner"},
    {"_private/", u"private"},
    {"_projects/", u"project"},
    {"projects/", u"project"},
};

// The parts A and B of the monthly meeting stand before the plain "monthly-part".
constexpr std::pair<const char*, const char16_t*> kTypeKeywords[] = {
    {"förberedelse", u"preparation"},
    {"forberedelse", u"preparation"},
    {"preparation", u"preparation"},
    {"standup", u"standup"},
    {"daily-standup", u"standup"},
    {"monthly-part-A", u"monthly-financial"},
    {"monthly-part-B", u"monthly-strategic"},
    {"monthly-part", u"monthly"},
    {"board-meeting", u"board"},
    {"board", u"board"},
    {"samtal", u"conversation"},
    {"Development-Overview", u"development-overview"},
    {"Weekly-Management", u"management-weekly"},
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

// A table in the form it is compared in, made once per table (thread-safe static initialisation),
// with its rows found by their key's first letter: every listed file with a dated name is looked
// up in two tables, so a text is gone through once rather than once per row.
class Table {
public:
    template <std::size_t N>
    explicit Table(const std::pair<const char*, const char16_t*> (&rows)[N])
    {
        for (const auto& [key, label] : rows) {
            const QString foldedKey = folded(QString::fromUtf8(key));
            const char16_t first = foldedKey.front().unicode();
            (first < kAscii ? m_byFirst[first] : m_otherFirst).push_back(qsizetype(m_rows.size()));
            const QString text = QString::fromRawData(reinterpret_cast<const QChar*>(label),
                                                      qsizetype(std::char_traits<char16_t>::length(label)));
            m_rows.append({foldedKey, text});
        }
    }

    // The label of the first row, in the table's order, whose key stands anywhere in `text`.
    std::optional<QString> firstContained(QStringView text) const
    {
        qsizetype best = m_rows.size();
        for (qsizetype at = 0; at < text.size(); ++at) {
            const char16_t c = text[at].unicode();
            for (const qsizetype row : c < kAscii ? m_byFirst[c] : m_otherFirst)
                if (row < best && text.sliced(at).startsWith(m_rows[row].first))
                    best = row;
        }
        return best < m_rows.size() ? std::optional(m_rows[best].second) : std::nullopt;
    }

private:
    static constexpr char16_t kAscii = 128;
    QList<std::pair<QString, QString>> m_rows;  // folded key, label
    std::array<std::vector<qsizetype>, kAscii> m_byFirst;  // rows by their key's first letter
    std::vector<qsizetype> m_otherFirst;  // rows whose key begins beyond ASCII, looked at anywhere
};

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
    // The name is folded once for both labels when the path ends in it, as a listing's paths do.
    const QString name = folded(filename);
    result.domain = classifyDomain(relativePath, name, filename);
    result.fileType = classifyType(name);
    return result;
}

std::optional<QString> FileClassifier::classifyDomain(const QString& relativePath, const QString& foldedName,
                                                     QStringView filename)
{
    static const Table patterns(kDomainPatterns);
    // Folded a part at a time, which comes to the same: no letter's case or composition reaches
    // across a "/". A listing gives the files of one folder one after another, so each thread
    // keeps the last folder it folded, and the text looked through is put together in a buffer
    // of its own.
    struct Last {
        QString folder;
        QString folded;
        QString text;
    };
    thread_local Last last;
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return patterns.firstContained(relativePath == filename ? foldedName : folded(relativePath));
    const QStringView folder = QStringView(relativePath).left(slash);
    if (folder != last.folder || last.folder.isNull()) {
        last.folder = folder.toString();
        last.folded = folded(last.folder);
    }
    last.text.resize(0);
    last.text.append(last.folded).append(QLatin1Char('/'));
    const QStringView name = QStringView(relativePath).sliced(slash + 1);
    if (name == filename)
        last.text.append(foldedName);
    else
        last.text.append(folded(name.toString()));
    return patterns.firstContained(last.text);
}

std::optional<QString> FileClassifier::classifyType(const QString& foldedName)
{
    static const Table keywords(kTypeKeywords);
    return keywords.firstContained(foldedName);
}

}  // namespace harkwell
