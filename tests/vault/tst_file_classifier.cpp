// The labels of a listed file: the day at the start of its name, the domain of its folder path
// and the meeting type in its name; and the effective dates the lists are sorted by.

#include "vault/FileClassifier.h"
#include "vault/FileDates.h"

#include <QTest>

using namespace harkwell;

namespace {

QString orNone(const std::optional<QString>& value) { return value.value_or(QStringLiteral("<none>")); }

}  // namespace

class FileClassifierTest : public QObject {
    Q_OBJECT
private slots:
    void classifies_data();
    void classifies();
    void datesAreTheStartOfTheLocalDay();
    void effectiveDateFollowsTheTimeBasis_data();
    void effectiveDateFollowsTheTimeBasis();
    void newestFirstKeepsTheOrderOfEqualDates();
};

void FileClassifierTest::classifies_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QDate>("date");  // null: no date
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("type");

    const QDate jan15(2026, 1, 15);
    const QString none = QStringLiteral("<none>");
    QTest::newRow("six digits") << "260115-notes.md" << "notes/260115-notes.md" << jan15 << none << none;
    QTest::newRow("iso date") << "2026-01-15-notes.md" << "2026-01-15-notes.md" << jan15 << none << none;
    QTest::newRow("no hyphen after the digits") << "260115.md" << "meetings/board/260115.md" << QDate() << none << none;
    QTest::newRow("blank after the digits") << "260115 notes.md" << "meetings/board/x.md" << QDate() << none << none;
    QTest::newRow("eight digits") << "20260115-notes.md" << "meetings/board/x.md" << QDate() << none << none;
    QTest::newRow("date not at the start") << "x260115-notes.md" << "meetings/board/x.md" << QDate() << none << none;
    QTest::newRow("month 13") << "261315-x.md" << "x.md" << QDate() << none << none;
    QTest::newRow("iso, no such day") << "2026-02-30-x.md" << "x.md" << QDate() << none << none;
    QTest::newRow("undated in a meeting folder") << "notes.md" << "meetings/board/notes.md" << QDate() << none << none;

    QTest::newRow("folder case ignored") << "260115-a.md" << "Meetings/Board/260115-a.md" << jan15 << "board" << none;
    QTest::newRow("substring of a folder") << "260115-a.md" << "meetings/boardroom/260115-a.md" << jan15 << "board" << none;
    QTest::newRow("other meetings") << "260115-a.md" << "meetings/archive/260115-a.md" << jan15 << "meetings-other" << none;
    QTest::newRow("projects inside a name") << "260115-a.md" << "old_projects/260115-a.md" << jan15 << "project" << none;
    QTest::newRow("contacts") << "260115-a.md" << "_contacts/anna/260115-a.md" << jan15 << "contact" << none;
    QTest::newRow("across the last slash") << "260115-a.md" << "Meetings/Board" << jan15 << "board" << none;
    QTest::newRow("top level") << "260115-a.md" << "260115-a.md" << jan15 << none << none;
    QTest::newRow("specific before catch-all") << "260115-a.md" << "meetings/unsorted/260115-a.md" << jan15 << "unsorted" << none;

    QTest::newRow("part A in any case") << "260115-Monthly-Part-A.md" << "x.md" << jan15 << none << "monthly-financial";
    QTest::newRow("part b") << "260115-monthly-part-b.md" << "x.md" << jan15 << none << "monthly-strategic";
    QTest::newRow("part c") << "260115-monthly-part-c.md" << "x.md" << jan15 << none << "monthly";
    QTest::newRow("keyboard holds board") << "260115-keyboard.md" << "x.md" << jan15 << none << "board";
    QTest::newRow("earliest row wins") << "260115-samtal-board.md" << "x.md" << jan15 << none << "board";
    QTest::newRow("weekly management") << "260115-weekly-management.md" << "x.md" << jan15 << none << "management-weekly";
    QTest::newRow("composed ö") << QString::fromUtf8("260115-förberedelse.md") << "x.md" << jan15 << none << "preparation";
    QTest::newRow("decomposed ö") << QString::fromUtf8("260115-fo\xcc\x88rberedelse.md") << "x.md" << jan15 << none << "preparation";
    QTest::newRow("standup") << "2026-01-15-daily-standup.md" << "x.md" << jan15 << none << "standup";
}

void FileClassifierTest::classifies()
{
    QFETCH(QString, filename);
    QFETCH(QString, relativePath);
    QFETCH(QDate, date);
    QFETCH(QString, domain);
    QFETCH(QString, type);

    const auto result = FileClassifier::classify(filename, relativePath);
    QCOMPARE(result.filenameDate.has_value(), date.isValid());
    if (date.isValid())
        QCOMPARE(*result.filenameDate, date.startOfDay());  // the day at 00:00 local time
    QCOMPARE(orNone(result.domain), domain);
    QCOMPARE(orNone(result.fileType), type);
}

void FileClassifierTest::datesAreTheStartOfTheLocalDay()
{
    const auto date = FileClassifier::parseFilenameDate(QStringLiteral("260115-notes.md"));
    QVERIFY(date);
    QCOMPARE(*date, QDateTime(QDate(2026, 1, 15), QTime(0, 0), Qt::LocalTime));
    QCOMPARE(FileClassifier::parseFilenameDate(QStringLiteral("2026-01-15-notes.md")), date);
}

void FileClassifierTest::effectiveDateFollowsTheTimeBasis_data()
{
    QTest::addColumn<int>("basis");
    QTest::addColumn<int>("createdDaysAgo");
    QTest::addColumn<int>("modifiedDaysAgo");
    QTest::addColumn<bool>("today");

    QTest::newRow("modification: modified today") << int(TimeBasis::Modification) << 1 << 0 << true;
    QTest::newRow("creation: created yesterday") << int(TimeBasis::Creation) << 1 << 0 << false;
    QTest::newRow("either: the later one") << int(TimeBasis::Either) << 1 << 0 << true;
    QTest::newRow("either: created later than modified") << int(TimeBasis::Either) << 0 << 2 << true;
    QTest::newRow("modification: modified yesterday") << int(TimeBasis::Modification) << 0 << 1 << false;
}

void FileClassifierTest::effectiveDateFollowsTheTimeBasis()
{
    QFETCH(int, basis);
    QFETCH(int, createdDaysAgo);
    QFETCH(int, modifiedDaysAgo);
    QFETCH(bool, today);

    const QDateTime now(QDate(2026, 3, 4), QTime(12, 0), Qt::LocalTime);
    FileEntry entry;
    entry.creationDate = now.addDays(-createdDaysAgo).addSecs(-60);
    entry.modificationDate = now.addDays(-modifiedDaysAgo).addSecs(-60);
    const auto split = FileDates::splitByToday({entry}, TimeBasis(basis), now);
    QCOMPARE(split.today.size(), today ? 1 : 0);
    QCOMPARE(split.others.size(), today ? 0 : 1);
}

void FileClassifierTest::newestFirstKeepsTheOrderOfEqualDates()
{
    const QDateTime noon(QDate(2026, 3, 4), QTime(12, 0), Qt::UTC);
    QList<FileEntry> entries;
    for (const auto& [name, offset] : {std::pair{"a", 0}, {"b", 60}, {"c", 0}, {"d", -60}, {"e", 60}}) {
        FileEntry entry;
        entry.filename = QString::fromLatin1(name);
        entry.modificationDate = noon.addSecs(offset);
        entries.append(entry);
    }
    FileDates::sortNewestFirst(entries, TimeBasis::Modification);
    QStringList order;
    for (const FileEntry& entry : entries)
        order.append(entry.filename);
    QCOMPARE(order, (QStringList{"b", "e", "a", "c", "d"}));
}

QTEST_GUILESS_MAIN(FileClassifierTest)
#include "tst_file_classifier.moc"
